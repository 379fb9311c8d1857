// The settings dialog (see velkooptions.h). Its lists, defaults and configuration word are
// the shared core's; here are only the Win32 controls.
#include "velkooptions.h"

#include "comports.h"
#include "core/lineconfig.h"
#include "resource.h"

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace velkooptions {

namespace {

using namespace zantic::core;

struct Dialog {
    int16_t FlowIndex = 0; // the most recently selected flow option
    Choice choice;
    HFONT bold = nullptr;  // the port list's entries whose device exists
    HFONT labels = nullptr; // the labels' font, where the dialog's own is too wide for them
};

struct Place {
    int id;
    int x, y, w, h;
};
// The exact pixel places (resource.h), which the template's dialog units only approach.
constexpr Place kPlaces[] = {
    {IDC_LABEL4, PX_LABEL4},       {IDC_CBOPORT, PX_CBOPORT},
    {IDC_FRAME1, PX_FRAME1},       {IDC_CBOSPEED, PX_CBOSPEED},
    {IDC_FRAME2, PX_FRAME2},       {IDC_LABEL1, PX_LABEL1},
    {IDC_CBODATABITS, PX_CBODATABITS}, {IDC_LABEL2, PX_LABEL2},
    {IDC_CBOPARITY, PX_CBOPARITY}, {IDC_LABEL3, PX_LABEL3},
    {IDC_CBOSTOPBITS, PX_CBOSTOPBITS}, {IDC_FRAME3, PX_FRAME3},
    {IDC_OPTFLOW0, PX_OPTFLOW0},   {IDC_OPTFLOW0 + 1, PX_OPTFLOW1},
    {IDC_OPTFLOW0 + 2, PX_OPTFLOW2}, {IDC_OPTFLOW0 + 3, PX_OPTFLOW3},
    {IDC_CMDOK, PX_CMDOK},         {IDC_CMDCANCEL, PX_CMDCANCEL},
};
constexpr int kListDrop = 200; // height of an open list, in pixels
constexpr int kComboFrame = 6; // a closed list's height beyond its selection field

bool isList(int id) { return id >= IDC_CBOPORT && id <= IDC_CBOSTOPBITS; }

void fill(HWND list, const std::vector<std::string> &entries)
{
    for (const std::string &e : entries) {
        const std::wstring text(e.begin(), e.end()); // the entries are ASCII
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
}

void select(HWND dialog, int id, int position)
{
    SendDlgItemMessageW(dialog, id, CB_SETCURSEL, WPARAM(position), 0); // -1: no selection
}

int selected(HWND dialog, int id) { return int(SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0)); }

// Every control at its pixel place, scaled for the screen's dots per inch, and the client
// area at its pixel size.
void placeControls(HWND dialog)
{
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    auto px = [dpi](int v) { return MulDiv(v, dpi, 96); };
    for (const Place &p : kPlaces) {
        const HWND control = GetDlgItem(dialog, p.id);
        if (isList(p.id)) {
            // A closed list is its selection field plus a frame.
            SendMessageW(control, CB_SETITEMHEIGHT, WPARAM(-1), px(p.h) - kComboFrame);
            SetWindowPos(control, nullptr, px(p.x), px(p.y), px(p.w), px(kListDrop),
                         SWP_NOZORDER | SWP_NOACTIVATE);
        } else {
            SetWindowPos(control, nullptr, px(p.x), px(p.y), px(p.w), px(p.h),
                         SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    RECT frame = {0, 0, px(PX_DIALOG_WIDTH), px(PX_DIALOG_HEIGHT)};
    AdjustWindowRectEx(&frame, DWORD(GetWindowLongPtrW(dialog, GWL_STYLE)), FALSE,
                       DWORD(GetWindowLongPtrW(dialog, GWL_EXSTYLE)));
    const int w = frame.right - frame.left, h = frame.bottom - frame.top;
    // Centred on the whole screen, not its work area nor the owner window.
    SetWindowPos(dialog, nullptr, (GetSystemMetrics(SM_CXSCREEN) - w) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - h) / 2, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
}

void optFlow_Click(Dialog &d, int16_t Index) { d.FlowIndex = Index; }

void LoadPropertySettings(HWND dialog, Dialog &d)
{
    fill(GetDlgItem(dialog, IDC_CBOPORT), portEntries());
    fill(GetDlgItem(dialog, IDC_CBOSPEED), speedEntries());
    fill(GetDlgItem(dialog, IDC_CBODATABITS), dataBitsEntries());
    fill(GetDlgItem(dialog, IDC_CBOPARITY), parityEntries());
    fill(GetDlgItem(dialog, IDC_CBOSTOPBITS), stopBitsEntries());

    const LinePieces p = parseLineSettings(kDefaultLineSettings);
    select(dialog, IDC_CBOSPEED, findEntry(speedEntries(), p.speed));
    select(dialog, IDC_CBOPARITY, p.parity);
    select(dialog, IDC_CBODATABITS, findEntry(dataBitsEntries(), p.dataBits));
    select(dialog, IDC_CBOSTOPBITS, findEntry(stopBitsEntries(), p.stopBits));
    select(dialog, IDC_CBOPORT, 1);
    CheckRadioButton(dialog, IDC_OPTFLOW0, IDC_OPTFLOW0 + 3, IDC_OPTFLOW0);
    optFlow_Click(d, 0); // as the click would

    // The entries keep their text and place (the port number is the position); an entry
    // whose device exists carries 1 and is drawn bold.
    const std::vector<bool> present = comports::present(int(portEntries().size()));
    for (size_t n = 1; n < present.size(); ++n) {
        if (present[n])
            SendDlgItemMessageW(dialog, IDC_CBOPORT, CB_SETITEMDATA, n - 1, 1);
    }
}

// The layout is in fixed pixels: where a label's caption does not fit on one line in the
// dialog's font, all four labels take the largest smaller size with which every one fits.
void fitLabels(HWND dialog, Dialog &d, LOGFONTW font)
{
    const int labels[] = {IDC_LABEL4, IDC_LABEL1, IDC_LABEL2, IDC_LABEL3};
    const HDC dc = GetDC(dialog);
    for (int height = std::abs(font.lfHeight); height >= 8; --height) {
        font.lfHeight = -height;
        const HFONT candidate = CreateFontIndirectW(&font);
        const HGDIOBJ old = SelectObject(dc, candidate);
        bool fits = true;
        for (int id : labels) {
            wchar_t text[32] = {};
            GetDlgItemTextW(dialog, id, text, 32);
            SIZE size{};
            RECT r;
            GetClientRect(GetDlgItem(dialog, id), &r);
            GetTextExtentPoint32W(dc, text, int(wcslen(text)), &size);
            fits = fits && size.cx <= r.right;
        }
        SelectObject(dc, old);
        if (fits) {
            d.labels = candidate;
            for (int id : labels)
                SendDlgItemMessageW(dialog, id, WM_SETFONT, WPARAM(candidate), TRUE);
            break;
        }
        DeleteObject(candidate);
    }
    ReleaseDC(dialog, dc);
}

void Form_Load(HWND dialog, Dialog &d)
{
    placeControls(dialog);
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0)), sizeof font, &font);
    fitLabels(dialog, d, font);
    font.lfWeight = FW_BOLD;
    d.bold = CreateFontIndirectW(&font);
    LoadPropertySettings(dialog, d);
}

void cmdOK_Click(HWND dialog, Dialog &d)
{
    d.choice.port = selected(dialog, IDC_CBOPORT) + 1;
    d.choice.flag = configWord(selected(dialog, IDC_CBOSPEED), selected(dialog, IDC_CBODATABITS),
                               selected(dialog, IDC_CBOPARITY), selected(dialog, IDC_CBOSTOPBITS),
                               d.FlowIndex);
    d.choice.ok = true;
    EndDialog(dialog, IDOK);
}

void drawPortEntry(Dialog &d, const DRAWITEMSTRUCT &item)
{
    const bool chosen = item.itemState & ODS_SELECTED;
    FillRect(item.hDC, &item.rcItem, GetSysColorBrush(chosen ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    if (item.itemID != UINT(-1)) {
        wchar_t text[16] = {};
        if (SendMessageW(item.hwndItem, CB_GETLBTEXTLEN, item.itemID, 0) < 16)
            SendMessageW(item.hwndItem, CB_GETLBTEXT, item.itemID, reinterpret_cast<LPARAM>(text));
        const HGDIOBJ old = item.itemData == 1 && d.bold ? SelectObject(item.hDC, d.bold) : nullptr;
        SetBkMode(item.hDC, TRANSPARENT);
        SetTextColor(item.hDC, GetSysColor(chosen ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
        RECT r = item.rcItem;
        r.left += 2;
        DrawTextW(item.hDC, text, -1, &r, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
        if (old)
            SelectObject(item.hDC, old);
    }
    if (item.itemState & ODS_FOCUS)
        DrawFocusRect(item.hDC, &item.rcItem);
}

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *d = reinterpret_cast<Dialog *>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        Form_Load(dialog, *reinterpret_cast<Dialog *>(lParam));
        return TRUE; // focus to the first list in keyboard order, cboSpeed
    case WM_MEASUREITEM: {
        // Before WM_INITDIALOG: the port list's closed height follows placeControls.
        auto *m = reinterpret_cast<MEASUREITEMSTRUCT *>(lParam);
        m->itemHeight = 16;
        return TRUE;
    }
    case WM_DRAWITEM:
        if (d && wParam == IDC_CBOPORT) {
            drawPortEntry(*d, *reinterpret_cast<const DRAWITEMSTRUCT *>(lParam));
            return TRUE;
        }
        return FALSE;
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (!d || HIWORD(wParam) != BN_CLICKED)
            return FALSE;
        if (id == IDC_CMDOK)
            cmdOK_Click(dialog, *d);
        else if (id == IDC_CMDCANCEL)
            EndDialog(dialog, IDCANCEL);
        else if (id >= IDC_OPTFLOW0 && id <= IDC_OPTFLOW0 + 3)
            optFlow_Click(*d, int16_t(id - IDC_OPTFLOW0));
        // Enter (IDOK) and Escape (IDCANCEL): no button is the default or cancel button.
        return TRUE;
    }
    case WM_CLOSE: // the close control: as Cancel
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    case WM_DESTROY:
        if (d && d->bold)
            DeleteObject(d->bold);
        if (d && d->labels)
            DeleteObject(d->labels);
        return FALSE;
    default:
        return FALSE;
    }
}

} // namespace

Choice show(HWND owner)
{
    Dialog d; // built afresh: every showing starts from the defaults
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_SETTINGS), owner, dialogProc,
                    reinterpret_cast<LPARAM>(&d));
    return d.choice;
}

} // namespace velkooptions
