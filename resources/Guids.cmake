# The product's fixed identifiers, chosen once. Every place that needs one
# (the type library, the registry scripts, the C++ code through the headers
# generated from the type library, QuellanHost) takes it from here.
set(QUELLAN_LIBID            "B4F29C38-DDAA-41DE-81AA-0DCEC53D931A")
set(QUELLAN_APPID            "0C9FF7C4-BA70-4BAE-9967-C1DE5D86169B")
set(QUELLAN_CLSID_AUTOMATION "EF3BC151-7DF4-4856-B2DE-25C32FE160F2")
set(QUELLAN_CLSID_BEHAVIOR   "157CC587-45E0-40C8-B58B-73510AB10D90")
set(QUELLAN_CLSID_BHO        "C4F2DDCD-AC71-48BD-BA0F-9DC41C0AAF49")
# Shared with QuellanHost, which serves the same class out of process.
set(QUELLAN_CLSID_BROKER     "24DF98D2-9754-44FE-BB4C-13698F92F1AB")
set(QUELLAN_IID_IAUTOMATION  "F6607E6F-5148-4606-9566-39FD6FB9E990")
set(QUELLAN_IID_IBROKER      "A1F65C34-BA2A-4D40-B86A-289EA498D2CF")
# The Tools-menu entry that the broker writes per user (script 203).
set(QUELLAN_MENU_EXTENSION   "51C9FDBC-5F80-4248-86CD-254B0932ED6D")
# QuellanHost: its AppID, and the browser's elevation-policy key that lets a
# Protected Mode browser start it at medium integrity without a prompt.
set(QUELLAN_HOST_APPID       "E163B11F-ABAD-4ED1-8A39-592DF7D3DA82")
set(QUELLAN_ELEVATION_POLICY "6CAAB649-AEA2-42BC-8CE5-B48C4209DDA9")
# The installer packages' upgrade code: the same for every version and both
# architectures, so that a newer package replaces whatever older one is
# installed.
set(QUELLAN_UPGRADE_CODE     "729DA5D8-1957-49E5-9396-025F2E4542EB")
