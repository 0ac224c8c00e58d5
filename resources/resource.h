#pragma once
// Resource identifiers, shared by the resource script and the code.

#define IDI_STATUS_DOWN 132
#define IDI_STATUS_1 133
#define IDI_STATUS_2 134
#define IDI_STATUS_3 135
#define IDI_STATUS_4 136
#define IDI_STATUS_5 137
#define IDI_APP 138
#define IDI_APP_SMALL 139
#define IDR_TRAY_MENU 140
#define IDI_STATUS_0 141

#define IDS_WINDOW_TITLE 103
#define IDS_WINDOW_CLASS 109

#define IDA_MAIN 109
#define ID_ACCEL_COMMAND 104

#define ID_MENU_EXIT 32771
#define ID_MENU_ABOUT 32773
