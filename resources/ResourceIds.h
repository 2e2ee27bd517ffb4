#pragma once
// Resource numbers of quellan.dll, shared by the resource script and the code.
// Plain #defines: the resource compiler reads this file too.

// Activation context of the library: names common controls version 6.
#define IDR_MANIFEST 2

// Registry scripts (resource type REGISTRY).
#define IDR_APPID 101
#define IDR_BHO 102
#define IDR_AUTOMATION 105
#define IDR_BEHAVIOR 109
#define IDR_BROKER 111

// Dialog templates.
#define IDD_SETTINGS 103
#define IDD_BLOCKABLE_ITEMS 108
#define IDD_ADD_FILTER 110
#define IDD_LISTS 112
#define IDD_ADD_LIST 113

// Menu pages (resource type HTML), reached as res://quellan.dll/#205, #207,
// #209 and #211.
#define IDR_SETTINGS_PAGE 205
#define IDR_BLOCKABLE_ITEMS_PAGE 207
#define IDR_ALLOW_SITE_PAGE 209
#define IDR_DISALLOW_SITE_PAGE 211

// Controls of the dialogs. IDOK (1) and IDCANCEL (2) are the system's.
#define IDC_APPLY 3
#define IDC_IMPORT 4
#define IDC_EXPORT 5
#define IDC_SORT 6
#define IDC_ADD 7
#define IDC_REMOVE 8
#define IDC_MOVE_DOWN 9
#define IDC_MOVE_UP 10
#define IDC_SESSION_DISABLED 201
#define IDC_REMOVE_BLOCKED_ITEMS 202
#define IDC_FILTER_EDIT 204
#define IDC_FILTER_LIST 205
#define IDC_MANUAL_LINK 206
#define IDC_LISTS 11
// Blockable Items dialog.
#define IDC_ADD_MASK 7
#define IDC_CLOSE 8
#define IDC_ITEM_LIST 205
// Adblock Lists dialog (Add..., Remove and Close are IDC_ADD, IDC_REMOVE
// and IDCANCEL) and its Add List prompt (OK, Cancel).
#define IDC_UPDATE_NOW 12
#define IDC_ADBLOCK_LISTS 207
#define IDC_BROWSE 13
#define IDC_LIST_SOURCE 208

// The browser's menu entries, applied per user by the broker.
#define IDR_MENUEXT 203
