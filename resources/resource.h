// Resource ids of the program, shared by the .rc and the code.
#pragma once

#define IDD_MAIN 101
#define IDR_ENTRYLISTINGS 102
#define IDI_APP 103

// Controls of the main dialog.
#define IDC_REMOVE_PRODUCT 1001
#define IDC_TITLE 1002
#define IDC_PROGRESS 1003
#define IDC_REMOVE_COMPLETELY 1004
