#pragma once
// Everything about the user's shared storage and named objects at once:
// new code includes only the header it needs.

#include "com/Platform.h"
#include "com/UserSid.h"
#include "storage/NamedMutex.h"
#include "storage/NamedObjects.h"
#include "storage/StorageFolder.h"
