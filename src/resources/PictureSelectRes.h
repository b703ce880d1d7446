// Resource identifiers of the picture selection control's module.
#pragma once

#define IDS_PS_LOAD_FAILED 102
#define IDS_PS_RESIZE_FAILED 104
#define IDS_PS_SAVE_FAILED 105
#define IDS_PS_NO_PICTURE 110
#define IDS_PS_NO_SELECTION 111
