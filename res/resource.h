// Resource ids of Purgato.exe: dialog templates, control ids and the icon,
// named here once for res/purgato.rc and app/. Preprocessor lines only:
// windres reads this file too.
#pragma once

// Dialog templates.
#define IDD_ABOUTBOX 100           // About box
#define IDD_PURGATO_DIALOG 102     // main dialog
#define IDD_THANK_YOU 130          // last dialog of every run
#define IDD_SCAN_PROGRESS 131      // the dialog the scan runs in
#define IDD_SCAN_OPTIONS 136       // scan target, mode and action, with the folder tree

// Icon group: the application icon (one 32x32 image, 16 colours).
#define IDR_MAINFRAME 128

// Label of the About item of the system menu. The resources hold no string
// table, so the item is never added.
#define IDS_ABOUTBOX 101

// System command of the About item. The interface never offers it; a test
// driver opens the About box by posting WM_SYSCOMMAND with this value to the
// main dialog (posted, not sent: the box is modal).
#define IDM_ABOUTBOX 0x0010

// Controls.
#define IDC_PROGRESS_LIST 1001     // scan progress list
#define IDC_SCAN_OK 1003           // OK of the progress dialog, shown when the scan is over
#define IDC_STATUS_LINE 1004       // current path, then the end status
#define IDC_DOWNLOAD_LINK 1015     // link to the download page (main dialog)
#define IDC_HOME_LINK 1016         // link to the home page (thank-you dialog)

// Controls of the scan options dialog.
#define IDC_FOLDER_TREE 1005       // shell folder tree
#define IDC_SCAN_ALL_DRIVES 1006   // target: every hard drive
#define IDC_SCAN_DRIVE_C 1007      // target: drive C
#define IDC_SCAN_SELECTED 1008     // target: the folder focused in the tree
#define IDC_PROMPT 1017            // when a virus is found: ask
#define IDC_AUTOMATIC 1018         // when a virus is found: act automatically
#define IDC_DISINFECT 1019         // automatic action: disinfect
#define IDC_RENAME 1020            // automatic action: rename
#define IDC_DELETE 1021            // automatic action: delete
#define IDC_IGNORE 1022            // automatic action: ignore
#define IDC_ACTION_GROUP 1023      // frame of the four automatic actions
#define IDC_HEADING 1032           // first line of the main, progress and thank-you dialogs
#define IDC_QUESTION 1033          // question of the main dialog

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
