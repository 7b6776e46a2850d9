// The numbers of the Win32 wizard's resources and controls, shared by the
// resource script (Wizard.rc) and the pages. Plain #defines: the resource
// compiler reads this file too.
#pragma once

// Dialog templates and the picture both pages show.
#define IDD_CONNECTION_PAGE 103
#define IDD_FINISH_PAGE 106
#define IDB_RECEIVER_PICTURE 130

// Connection page.
#define IDC_PORT_COMBO 104
#define IDC_NOTE_TEXT 105
#define IDC_DEVICE_TEXT 1004
#define IDC_PACKAGE_TEXT 1006

// Progress page.
#define IDC_RESULT_TEXT 105
#define IDC_OVERALL_PROGRESS 1000
#define IDC_OVERALL_TEXT 1001
#define IDC_PHASE_PROGRESS 1002
#define IDC_PHASE_TEXT 1003
#define IDC_TIMES_TEXT 1007
#define IDC_RETRY_TEXT 1008
#define IDC_WARNING_TEXT 1009
#define IDC_TRY_AGAIN 1010

// The picture on either page.
#define IDC_RECEIVER_PICTURE 1005

// The sheet's standard buttons.
#define IDC_SHEET_BACK 0x3023
#define IDC_SHEET_NEXT 0x3024
#define IDC_SHEET_FINISH 0x3025
