// The terminal window (see velkofrm.h). What it reads, sends and shows is the terminal
// session's (core/session.h); here are only the window, its menu, the edit control, the
// timers and their wiring.
#include "velkofrm.h"

#include "core/session.h"
#include "resource.h"
#include "velkomod.h"
#include "velkooptions.h"

#include <ole2.h>

#include <optional>
#include <string>

using namespace velkomod;

namespace velkofrm {

namespace {

constexpr UINT_PTR kTimer1 = 1;
constexpr UINT_PTR kSendTimer = 2;       // the next step of a paste, after a refusal
constexpr UINT kSendNow = WM_APP + 1;    // the next step of a paste, once other messages are done

struct Window {
    HWND form = nullptr;
    HWND Text1 = nullptr;
    WNDPROC editProc = nullptr;
    HFONT font = nullptr;
    HBRUSH background = nullptr;
    zantic::core::TypedUnits typedUnits; // WM_CHAR brings a character beyond U+FFFF in halves
};
Window w;

int px(int v)
{
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return MulDiv(v, dpi, 96);
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

std::wstring widen(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::u16string decodeAnsi(std::string_view bytes)
{
    const std::wstring text = fromAnsi(bytes.data(), bytes.size());
    return std::u16string(text.begin(), text.end());
}

const zantic::core::CodePage kAnsi{&ansiBytes, &ansiLeadByte, &decodeAnsi};

// What the session asks of the window, done with the window's own calls.
class Face final : public zantic::core::SessionFace {
public:
    void startPoll() override
    {
        SetTimer(w.form, kTimer1, UINT(zantic::core::kPollInterval.count()), nullptr);
    }
    void stopPoll() override { KillTimer(w.form, kTimer1); }
    void sendLater(std::chrono::milliseconds delay) override
    {
        KillTimer(w.form, kSendTimer);
        if (delay.count() == 0)
            PostMessageW(w.form, kSendNow, 0, 0);
        else
            SetTimer(w.form, kSendTimer, UINT(delay.count()), nullptr);
    }
    void stopSending() override { KillTimer(w.form, kSendTimer); }

    std::u16string boxText() override
    {
        const int n = GetWindowTextLengthW(w.Text1);
        std::wstring text(size_t(n) + 1, L'\0');
        text.resize(size_t(GetWindowTextW(w.Text1, text.data(), n + 1)));
        return std::u16string(text.begin(), text.end());
    }
    // The display rule's edit, made with the edit control's own selection calls.
    void editBox(const zantic::core::BoxEdit &edit, std::u16string_view) override
    {
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

    void enableEntries() override
    {
        for (const UINT id : {IDM_CONNECT, IDM_DISCONNECT})
            EnableMenuItem(GetMenu(w.form), id, MF_BYCOMMAND | MF_ENABLED);
        DrawMenuBar(w.form);
    }
    void enableBox() override { EnableWindow(w.Text1, TRUE); }
    void focusBox() override { SetFocus(w.Text1); }
    void showMessage(std::string_view text) override // the session's texts are ASCII
    {
        velkomod::showMessage(w.form, widen(text));
    }
    const zantic::core::CodePage &codePage() const override { return kAnsi; }
};
Face face;
zantic::core::Session session(face, zantic::core::kLibraryCalls);

void Setting_Click()
{
    const velkooptions::Choice choice = velkooptions::show(w.form);
    session.settingsClosed(choice.ok, choice.port, choice.flag);
}

// Exit and the window's own close control both end here: the port is closed first.
void exit_Click()
{
    session.end();
    DestroyWindow(w.form);
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
            session.paste(fromGlobal(medium.hGlobal));
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
        if (const std::optional<char32_t> c = w.typedUnits.take(char16_t(wParam)))
            session.typed(*c);
        return 0; // cancelled in every case: nothing is echoed locally
    }
    case WM_KEYDOWN:
        if (wParam == VK_INSERT && GetKeyState(VK_SHIFT) < 0 && GetKeyState(VK_CONTROL) >= 0) {
            session.paste(clipboardText());
            return 0;
        }
        break;
    case WM_PASTE:
        session.paste(clipboardText());
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
        case IDM_CONNECT: session.connect(); return 0;
        case IDM_DISCONNECT: session.disconnect(); return 0;
        default: break;
        }
        break;
    case WM_TIMER:
        if (wParam == kTimer1) {
            session.tick();
            return 0;
        }
        if (wParam == kSendTimer) {
            session.sendStep();
            return 0;
        }
        break;
    case kSendNow:
        session.sendStep();
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
