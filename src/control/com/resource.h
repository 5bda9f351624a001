// Resource identifiers of QELCOMM.OCX. Shared by the resource script and
// the code; the numbers are fixed because hosts and registration refer to
// them (icon 1, toolbox bitmap 1, type-name strings 1 and 2, page 200).
#pragma once

#define IDI_QELCOMM 1
#define IDB_QELCOMM 1
#define IDS_QELCOMM 1
#define IDS_QELCOMM_PPG 2
#define IDS_QELCOMM_PPG_CAPTION 3
#define IDS_VERB_PROPERTIES 4

#define IDD_ABOUTBOX_QELCOMM 100
#define IDC_ABOUT_ICON 101
#define IDC_ABOUT_TEXT 102

#define IDD_PROPPAGE_QELCOMM 200
#define IDC_COMPORT 205
#define IDC_RETRIES 206
#define IDC_BAUD 207
#define IDC_GRPSENDS 208
