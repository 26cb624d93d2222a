// Resource ids of tovladmin's dialogs, strings and pictures (shared by the
// resource script and the dialog code).
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_IPLIST_DIALOG 102
#define IDD_ADDIP_DIALOG 133
#define IDB_LOGO 135
#define IDR_MAINFRAME 142

#define IDC_IPLIST 1003
#define IDC_ADD_IP 1004
#define IDC_IPADDRESS 1009
#define IDC_ADD 1010
#define IDC_REMOVE_IP 1011
#define IDC_EXIT 1012

#define IDM_ABOUTBOX 0x0010
