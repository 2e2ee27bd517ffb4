#pragma once
// Version of the product, stamped into the VERSIONINFO of both binaries.

#define QUELLAN_VERSION 1, 0, 0, 0
#define QUELLAN_VERSION_TEXT "1.0.0.0"
#define QUELLAN_PRODUCT_NAME "Quellan"
#define QUELLAN_COPYRIGHT "Copyright (C) 2026 The Quellan developers"
