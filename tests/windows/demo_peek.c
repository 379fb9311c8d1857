/* Reads Demo.exe's windows from another process under Wine, for the Win32 Demo check:
 *   demo_peek text      Text1's text as hex bytes (ANSI code page), via WM_GETTEXT
 *   demo_peek state     "text1=E focus=F": 1 where Text1 is enabled, where it has the keyboard
 *                       focus (Wine keeps menus inside their process: their state is not
 *                       read from here)
 *   demo_peek message   the text of the open message box titled "Demo"
 *   demo_peek ports     the port numbers the settings dialog marks as existing
 *   demo_peek window    "client W H text1 L T W H": the terminal window's client area and
 *                       Text1's place in it
 *   demo_peek layout    the settings dialog's client size, then "ID LEFT TOP WIDTH HEIGHT"
 *                       of each control in its client area, one a line, by ID
 * Exits 1 when the window asked about is not there. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static HWND text1(void)
{
    HWND form = FindWindowA("Velkofrm", NULL);
    return form ? FindWindowExA(form, NULL, "EDIT", NULL) : NULL;
}

int main(int argc, char **argv)
{
    const char *what = argc > 1 ? argv[1] : "";
    if (strcmp(what, "text") == 0) {
        HWND edit = text1();
        if (!edit) return 1;
        LRESULT n = SendMessageA(edit, WM_GETTEXTLENGTH, 0, 0);
        char *text = calloc((size_t)n + 1, 1);
        n = SendMessageA(edit, WM_GETTEXT, (WPARAM)n + 1, (LPARAM)text);
        for (LRESULT i = 0; i < n; ++i) printf("%02x", (unsigned char)text[i]);
        printf("\n");
        free(text);
        return 0;
    }
    if (strcmp(what, "state") == 0) {
        HWND form = FindWindowA("Velkofrm", NULL), edit = text1();
        if (!form || !edit) return 1;
        GUITHREADINFO gui;
        memset(&gui, 0, sizeof gui);
        gui.cbSize = sizeof gui;
        GetGUIThreadInfo(GetWindowThreadProcessId(form, NULL), &gui);
        printf("text1=%d focus=%d\n", IsWindowEnabled(edit) ? 1 : 0, gui.hwndFocus == edit);
        return 0;
    }
    if (strcmp(what, "message") == 0) {
        HWND box = FindWindowA("#32770", "Demo");
        HWND label = box ? GetDlgItem(box, 0xFFFF) : NULL;
        if (!label) return 1;
        char text[1024] = "";
        GetWindowTextA(label, text, sizeof text);
        printf("%s\n", text);
        return 0;
    }
    if (strcmp(what, "ports") == 0) {
        HWND dialog = FindWindowA("#32770", "Setting Box");
        if (!dialog) return 1;
        LRESULT count = SendDlgItemMessageA(dialog, 203, CB_GETCOUNT, 0, 0);
        const char *sep = "";
        for (LRESULT i = 0; i < count; ++i) {
            if (SendDlgItemMessageA(dialog, 203, CB_GETITEMDATA, (WPARAM)i, 0) == 1) {
                printf("%s%d", sep, (int)i + 1);
                sep = " ";
            }
        }
        printf("\n");
        return 0;
    }
    if (strcmp(what, "window") == 0) {
        HWND form = FindWindowA("Velkofrm", NULL), edit = text1();
        if (!form || !edit) return 1;
        RECT client, r;
        GetClientRect(form, &client);
        GetWindowRect(edit, &r);
        MapWindowPoints(NULL, form, (POINT *)&r, 2);
        printf("client %ld %ld text1 %ld %ld %ld %ld\n", client.right, client.bottom, r.left,
               r.top, r.right - r.left, r.bottom - r.top);
        return 0;
    }
    if (strcmp(what, "layout") == 0) {
        HWND dialog = FindWindowA("#32770", "Setting Box");
        if (!dialog) return 1;
        RECT client;
        GetClientRect(dialog, &client);
        printf("client %ld %ld\n", client.right, client.bottom);
        for (int id = 200; id < 240; ++id) {
            HWND control = GetDlgItem(dialog, id);
            RECT r;
            if (!control || !GetWindowRect(control, &r)) continue;
            MapWindowPoints(NULL, dialog, (POINT *)&r, 2);
            printf("%d %ld %ld %ld %ld\n", id, r.left, r.top, r.right - r.left, r.bottom - r.top);
        }
        return 0;
    }
    fprintf(stderr, "usage: demo_peek text|state|message|ports|layout\n");
    return 2;
}
