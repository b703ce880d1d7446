// Resource identifiers of the component.
#pragma once

#define IDS_PROJNAME 100
#define IDS_CAMERA_FAILED 101
#define IDS_LOAD_FAILED 102
#define IDS_TO24BIT_FAILED 103
#define IDS_RESIZE_FAILED 104
#define IDS_SAVE_FAILED 105
#define IDS_CONNECT_HODTEST 106
#define IDS_NOT_SELECTED 40028
#define IDS_CHOOSE_PORT 40029
#define IDS_PRESENT_KEY 40030
#define IDS_KEY_READ 40031
#define IDS_HODTEST_READ 40033
#define IDS_KEY_READ_ERROR 40035
#define IDS_HODTEST_READ_ERROR 40038
#define IDS_PROGRAM_FILTER 40056
#define IDS_PROGRAM_START_FAILED 40182
#define IDS_PROGRAM_EXIT_FAILED 40183

#define IDR_TRELCLIENTHELPER 102

// The read-key dialog (also the read-Hod-Test dialog's template) and its controls.
#define IDD_READKEY 210
#define IDC_COM_PORTS 202
#define IDC_USB_PORTS 218
#define IDC_STATUS 233
#define IDC_COM_RADIO 248
#define IDC_USB_RADIO 250

// The camera's progress window and its texts.
#define IDD_CAMERA_PROGRESS 129
#define IDC_CAMERA_PROGRESS 1010
#define IDS_CAMERA_FINISHING 3101

// The video frame dialog and its frame.
#define IDD_VIDEO 217
#define IDC_VIDEO_FRAME 201

// The picture part selection dialog and its selection control's container.
#define IDD_SELECT_PICTURE_PART 216
#define IDC_PICTURE_VIEWER 253
