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

// The browser's menu entries, applied per user by the broker.
#define IDR_MENUEXT 203
