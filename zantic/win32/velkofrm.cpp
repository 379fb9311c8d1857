// The terminal window (see velkofrm.h). What it reads, sends and shows is decided by the
// shared core; here are only the window, its menu, the edit control and the timer.
#include "velkofrm.h"

#include "core/display.h"
#include "core/poll.h"
#include "core/sendqueue.h"
#include "core/typing.h"
#include "resource.h"
#include "velkomod.h"
#include "velkooptions.h"

#include <ole2.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace velkomod;

namespace velkofrm {

namespace {

constexpr UINT_PTR kTimer1 = 1;
constexpr UINT kPollMs = 100;
constexpr UINT_PTR kSendTimer = 2;       // the next step of a paste, after a refusal
constexpr UINT kSendNow = WM_APP + 1;    // the next step of a paste, once other messages are done

struct Window {
    HWND form = nullptr;
    HWND Text1 = nullptr;
    WNDPROC editProc = nullptr;
    HFONT font = nullptr;
    HBRUSH background = nullptr;
    // The port the connection opened: polling, typing, Disconnect and Exit use it, so that a
    // port chosen meanwhile takes effect only at the next Connect.
    std::optional<int32_t> openPort;
    std::vector<char> readBuffer;
    std::string heldLead; // a double-byte character's first byte, whose second is still to come
    bool inTick = false;
    zantic::core::SendQueue outgoing; // pasted text on its way, and keys typed behind it
    char16_t highSurrogate = 0; // the first half of a typed character beyond U+FFFF
};
Window w;

int px(int v)
{
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return MulDiv(v, dpi, 96);
}

std::u16string boxText()
{
    const int n = GetWindowTextLengthW(w.Text1);
    std::wstring text(size_t(n) + 1, L'\0');
    text.resize(size_t(GetWindowTextW(w.Text1, text.data(), n + 1)));
    return std::u16string(text.begin(), text.end());
}

void select(size_t from, size_t to)
{
    SendMessageW(w.Text1, EM_SETSEL, WPARAM(from), LPARAM(to));
}

void replaceSelection(const std::u16string &text)
{
    const std::wstring wide(text.begin(), text.end());
    SendMessageW(w.Text1, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide.c_str()));
}

// The display rule's edit, made with the edit control's own selection calls.
void AddText(const std::wstring &s)
{
    const zantic::BoxEdit edit = zantic::planTick(boxText(), std::u16string(s.begin(), s.end()));
    if (edit.dropFront > 0) {
        select(0, edit.dropFront);
        replaceSelection(u"");
    }
    const size_t length = size_t(GetWindowTextLengthW(w.Text1));
    select(length - edit.takeBack, length);
    replaceSelection(edit.append);
    const size_t end = size_t(GetWindowTextLengthW(w.Text1));
    select(end, end);
    SendMessageW(w.Text1, EM_SCROLLCARET, 0, 0);
}

void StartPoll() { SetTimer(w.form, kTimer1, kPollMs, nullptr); }

void StopPoll() { KillTimer(w.form, kTimer1); }

void enableMenu(UINT id)
{
    EnableMenuItem(GetMenu(w.form), id, MF_BYCOMMAND | MF_ENABLED);
}

void dropQueued()
{
    w.outgoing.clear();
    KillTimer(w.form, kSendTimer);
}

void sendQueued()
{
    KillTimer(w.form, kSendTimer);
    if (ComOpen != 1 || !w.openPort) {
        dropQueued();
        return;
    }
    using Step = zantic::core::SendQueue::Step;
    switch (w.outgoing.send(*w.openPort, &IOP_Putc)) {
    case Step::Done: break;
    case Step::More: PostMessageW(w.form, kSendNow, 0, 0); break;
    case Step::Refused:
        SetTimer(w.form, kSendTimer, UINT(zantic::core::kSendInterval.count()), nullptr);
        break;
    }
}

void Setting_Click()
{
    const velkooptions::Choice choice = velkooptions::show(w.form);
    if (choice.ok) {
        ComPort = choice.port;
        ComFlag = choice.flag;
    }
    enableMenu(IDM_CONNECT);
    enableMenu(IDM_DISCONNECT);
    DrawMenuBar(w.form);
    if (ComOpen == 1)
        SetFocus(w.Text1); // typing goes on where it was
}

void connect_Click()
{
    const int32_t port = ComPort;
    if (IOP_Open(port, ComFlag) != 0) {
        // An open connection stays as it is. A device that refused the settings is still
        // held by the library: let it go, so that other programs can have it meanwhile.
        if (!(ComOpen == 1 && w.openPort == port))
            IOP_Close(port);
        showMessage(w.form, L"Can't OPEN this device--COM");
        return;
    }
    // Connecting to another port while connected moves the connection: the old port would
    // otherwise stay open, and locked, with nothing left that could close it.
    if (ComOpen == 1 && w.openPort && *w.openPort != port)
        IOP_Close(*w.openPort);
    dropQueued();
    w.heldLead.clear();
    w.openPort = port;
    ComOpen = 1;
    StartPoll();
    EnableWindow(w.Text1, TRUE);
    // Keys typed now are for the device: the menu that ran Connect must not keep them.
    SetFocus(w.Text1);
}

void disconnect_Click()
{
    IOP_Close(w.openPort.value_or(ComPort)); // result ignored: nothing to tell the user
    StopPoll();
    ComOpen = 0;
    dropQueued(); // a Disconnect ends a paste
}

// Exit and the window's own close control both end here: the port is closed first.
void exit_Click()
{
    dropQueued();
    if (ComOpen == 1 && w.openPort) {
        StopPoll();
        IOP_Close(*w.openPort);
        w.openPort.reset();
    }
    DestroyWindow(w.form);
}

void deviceGone(int32_t port)
{
    // As Disconnect: the port is let go, so that Connect can open the device when it is back.
    disconnect_Click();
    const std::string text = zantic::core::goneMessage(port); // ASCII
    showMessage(w.form, std::wstring(text.begin(), text.end()));
}

void Timer1_Timer()
{
    // A message box opened further down runs its own message loop, where ticks go on: they
    // must not start a second read and display on top of the unfinished one.
    if (w.inTick || !w.openPort)
        return;
    w.inTick = true;
    const int32_t port = *w.openPort;
    const zantic::core::TickResult got =
        zantic::core::readTick(port, {&IOP_DIQ_Count, &IOP_Read, &IOP_Getc}, w.readBuffer);
    if (got.count > 0) {
        std::string bytes = std::exchange(w.heldLead, {});
        bytes.append(w.readBuffer.data(), got.count);
        const size_t whole = zantic::core::wholeCharacters(bytes, ansiLeadByte);
        w.heldLead = bytes.substr(whole);
        AddText(fromAnsi(bytes.data(), whole));
    }
    w.inTick = false;
    if (got.gone)
        deviceGone(port);
}

void text1_KeyPress(int16_t &KeyAscii)
{
    const char byte = char(KeyAscii & 0xFF);
    if (!w.outgoing.empty())
        w.outgoing.append(std::string_view(&byte, 1)); // after the paste still going out
    else if (w.openPort)
        IOP_Write(*w.openPort, &byte, 1); // a failed write loses the key silently
    KeyAscii = 0;
}

// Text pasted or dropped into Text1 goes to the port as typed keys would, in steps.
void sendPasted(const std::u16string &text)
{
    // Only a connection sends: after Disconnect the bytes would be lost all the same.
    if (ComOpen != 1 || !w.openPort)
        return;
    w.outgoing.append(zantic::core::pastedBytes(text, &ansiBytes));
    sendQueued();
}

std::u16string fromGlobal(HGLOBAL memory)
{
    std::u16string text;
    if (const auto *p = static_cast<const wchar_t *>(GlobalLock(memory))) {
        const size_t most = GlobalSize(memory) / sizeof(wchar_t);
        size_t n = 0;
        while (n < most && p[n] != L'\0')
            ++n;
        text.assign(p, p + n);
        GlobalUnlock(memory);
    }
    return text;
}

std::u16string clipboardText()
{
    std::u16string text;
    if (IsClipboardFormatAvailable(CF_UNICODETEXT) && OpenClipboard(w.form)) {
        if (const HANDLE data = GetClipboardData(CF_UNICODETEXT))
            text = fromGlobal(data);
        CloseClipboard();
    }
    return text;
}

// Text dropped on Text1 (files and other data are refused); the source keeps its text.
class DropTarget final : public IDropTarget {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **out) override
    {
        if (riid == IID_IUnknown || riid == IID_IDropTarget) {
            *out = static_cast<IDropTarget *>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_refs; } // static lifetime
    HRESULT STDMETHODCALLTYPE DragEnter(IDataObject *data, DWORD, POINTL, DWORD *effect) override
    {
        FORMATETC text = textFormat();
        m_text = data && data->QueryGetData(&text) == S_OK;
        *effect = m_text ? DROPEFFECT_COPY : DROPEFFECT_NONE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DragOver(DWORD, POINTL, DWORD *effect) override
    {
        *effect = m_text ? DROPEFFECT_COPY : DROPEFFECT_NONE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DragLeave() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Drop(IDataObject *data, DWORD, POINTL, DWORD *effect) override
    {
        *effect = DROPEFFECT_NONE;
        FORMATETC text = textFormat();
        STGMEDIUM medium{};
        if (data && data->GetData(&text, &medium) == S_OK) {
            sendPasted(fromGlobal(medium.hGlobal));
            ReleaseStgMedium(&medium);
            *effect = DROPEFFECT_COPY;
        }
        return S_OK;
    }

private:
    static FORMATETC textFormat() { return {CF_UNICODETEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL}; }
    ULONG m_refs = 1;
    bool m_text = false;
};
DropTarget dropTarget;

// Every character typed into Text1 goes to the port and none into the box; keys that make
// no character (arrows, Home, End, Page Up/Down) move the caret and scroll as usual.
LRESULT CALLBACK text1Proc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CHAR: {
        const auto unit = char16_t(wParam);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            w.highSurrogate = unit;
            return 0;
        }
        char32_t c = unit;
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            if (!w.highSurrogate)
                return 0;
            c = 0x10000 + ((char32_t(w.highSurrogate) - 0xD800) << 10) + (unit - 0xDC00);
        }
        w.highSurrogate = 0;
        for (char b : zantic::core::typedBytes(c, &ansiBytes)) {
            int16_t code = int16_t(uint8_t(b));
            text1_KeyPress(code);
        }
        return 0; // cancelled in every case: nothing is echoed locally
    }
    case WM_KEYDOWN:
        if (wParam == VK_INSERT && GetKeyState(VK_SHIFT) < 0 && GetKeyState(VK_CONTROL) >= 0) {
            sendPasted(clipboardText());
            return 0;
        }
        break;
    case WM_PASTE:
        sendPasted(clipboardText());
        return 0;
    case WM_CUT:
    case WM_CLEAR:
    case WM_UNDO:
        return 0; // only the device writes into the box
    default:
        break;
    }
    return CallWindowProcW(w.editProc, edit, message, wParam, lParam);
}

void Form_Load()
{
    w.Text1 = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                              WS_CHILD | WS_VISIBLE | WS_DISABLED | WS_HSCROLL | WS_VSCROLL |
                                  ES_MULTILINE | ES_AUTOHSCROLL | ES_AUTOVSCROLL | ES_READONLY |
                                  ES_NOHIDESEL,
                              px(16), px(8), px(409), px(257), w.form, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    w.font = CreateFontW(-px(13), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                         OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                         FIXED_PITCH | FF_MODERN, L"Courier New");
    SendMessageW(w.Text1, WM_SETFONT, WPARAM(w.font), FALSE);
    SendMessageW(w.Text1, EM_SETLIMITTEXT, 0, 0); // the display rule keeps it short
    w.editProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(w.Text1, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&text1Proc)));
    w.background = GetSysColorBrush(COLOR_WINDOW);
    RegisterDragDrop(w.Text1, &dropTarget);
}

LRESULT CALLBACK formProc(HWND form, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        w.form = form;
        Form_Load();
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDM_SETTING: Setting_Click(); return 0;
        case IDM_EXIT: exit_Click(); return 0;
        case IDM_CONNECT: connect_Click(); return 0;
        case IDM_DISCONNECT: disconnect_Click(); return 0;
        default: break;
        }
        break;
    case WM_TIMER:
        if (wParam == kTimer1) {
            Timer1_Timer();
            return 0;
        }
        if (wParam == kSendTimer) {
            sendQueued();
            return 0;
        }
        break;
    case kSendNow:
        sendQueued();
        return 0;
    case WM_CTLCOLORSTATIC:
        // A read-only edit control is drawn as a label; once enabled it looks like a text box.
        if (reinterpret_cast<HWND>(lParam) == w.Text1 && IsWindowEnabled(w.Text1)) {
            SetBkColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOW));
            SetTextColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOWTEXT));
            return reinterpret_cast<LRESULT>(w.background);
        }
        break;
    case WM_SETFOCUS:
        // Back from a message box, the dialog or another program: typing goes on in the box.
        if (IsWindowEnabled(w.Text1))
            SetFocus(w.Text1);
        return 0;
    case WM_CLOSE: // the close control ends the program as Exit does
        exit_Click();
        return 0;
    case WM_DESTROY:
        RevokeDragDrop(w.Text1);
        if (w.font)
            DeleteObject(w.font);
        PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(form, message, wParam, lParam);
}

} // namespace

HWND create(HINSTANCE instance, int show)
{
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = formProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512)); // IDI_APPLICATION
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszMenuName = MAKEINTRESOURCEW(IDR_MENU);
    wc.lpszClassName = L"Velkofrm";
    if (!RegisterClassExW(&wc))
        return nullptr;

    // The client area is 438 x 280 below the menu bar, its corner at 85, 96 on the screen.
    const DWORD style = WS_OVERLAPPEDWINDOW;
    RECT frame = {px(85), px(96), px(85 + 438), px(96 + 280)};
    AdjustWindowRectEx(&frame, style, TRUE, 0);
    const HWND form = CreateWindowExW(0, wc.lpszClassName, kProgramName, style, frame.left,
                                      frame.top, frame.right - frame.left,
                                      frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    if (form) {
        ShowWindow(form, show);
        UpdateWindow(form);
    }
    return form;
}

} // namespace velkofrm
