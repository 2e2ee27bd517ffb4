#pragma once
// Resource numbers of QuellanHost.exe. Plain #defines: the resource
// compiler reads this file too.

#define IDR_HOST_MANIFEST 1
// The host's registry script (resource type REGISTRY).
#define IDR_QUELLANHOST 101
