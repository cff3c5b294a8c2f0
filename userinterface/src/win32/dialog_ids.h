// Resource and control ids of the user-interface library's dialogs. The numbers are the ones
// the mail-client integration and its tests address the controls by.
#pragma once

// Dialog templates.
#define IDD_VEXMOR_PROGRESS 13000
#define IDD_VEXMOR_SENDERS 13500
#define IDD_VEXMOR_NEW_ADDRESS 13550

// The progress dialog.
#define IDC_PROGRESS_COUNT 13001
#define IDC_PROGRESS_PERCENT 13002
#define IDC_PROGRESS_FRAME 13003
#define IDC_PROGRESS_MESSAGE 13004
#define IDC_PROGRESS_CANCEL 13010
#define IDC_PROGRESS_BAR 13015
#define IDC_PROGRESS_ANIMATION 13050

// The senders dialog.
#define IDC_SENDERS_LIST 13501
#define IDC_SENDERS_DESCRIPTION 13510
#define IDC_SENDERS_COUNT 13511
#define IDC_SENDERS_OUTER_FRAME 13520
#define IDC_SENDERS_RADIO_FRAME 13521
#define IDC_SENDERS_ADD 13530
#define IDC_SENDERS_DELETE 13531
#define IDC_SENDERS_CLOSE 13532
#define IDC_SENDERS_EMAIL 13540
#define IDC_SENDERS_DOMAIN 13541

// The new-address dialog.
#define IDC_NEW_FRAME 13551
#define IDC_NEW_LABEL 13552
#define IDC_NEW_HINT 13553
#define IDC_NEW_ADD 13560
#define IDC_NEW_CANCEL 13561
#define IDC_NEW_EDIT 13570

// The window icon of both dialogs and the list's context menu.
#define IDI_VEXMOR_DIALOG 12999
#define IDM_SENDERS_CONTEXT 14701
#define IDM_SELECT_ALL 14710
