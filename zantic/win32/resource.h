// Identifiers of Demo.exe's resources (demo.rc) and the settings dialog's layout in pixels at
// 96 dots per inch, shared by the dialog template and the code that places the controls.
#pragma once

#define IDR_MENU 100
#define IDM_SETTING 101
#define IDM_EXIT 102
#define IDM_CONNECT 103
#define IDM_DISCONNECT 104

#define IDD_SETTINGS 200
// Not IDOK/IDCANCEL: neither button is the dialog's default or cancel button.
#define IDC_CMDOK 201
#define IDC_CMDCANCEL 202
#define IDC_CBOPORT 203
#define IDC_CBOSPEED 204
#define IDC_CBODATABITS 205
#define IDC_CBOPARITY 206
#define IDC_CBOSTOPBITS 207
#define IDC_OPTFLOW0 210 /* 210..213: the four flow options, top to bottom */
#define IDC_LABEL4 220
#define IDC_LABEL1 221
#define IDC_LABEL2 222
#define IDC_LABEL3 223
#define IDC_FRAME1 230
#define IDC_FRAME2 231
#define IDC_FRAME3 232

// Left, top, width, height of each control in the client area, in pixels.
#define PX_LABEL4 32, 24, 57, 17
#define PX_CBOPORT 96, 24, 95, 20
#define PX_FRAME1 24, 56, 177, 65
#define PX_CBOSPEED 48, 80, 129, 20
#define PX_FRAME2 24, 144, 177, 129
#define PX_LABEL1 40, 168, 49, 17
#define PX_CBODATABITS 96, 168, 92, 20
#define PX_LABEL2 56, 200, 41, 25
#define PX_CBOPARITY 96, 200, 92, 20
#define PX_LABEL3 40, 232, 49, 17
#define PX_CBOSTOPBITS 96, 232, 92, 20
#define PX_FRAME3 232, 56, 121, 113
#define PX_OPTFLOW0 248, 72, 57, 17
#define PX_OPTFLOW1 248, 96, 73, 17
#define PX_OPTFLOW2 248, 120, 49, 17
#define PX_OPTFLOW3 248, 144, 77, 17
#define PX_CMDOK 216, 224, 81, 25
#define PX_CMDCANCEL 304, 224, 81, 25
#define PX_DIALOG_WIDTH 403
#define PX_DIALOG_HEIGHT 299
