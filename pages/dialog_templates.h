/* Dialog templates, tab titles and logo of the property pages.
 *
 * The one description of both pages' faces. The resource script pages.rc
 * includes it through windres's C preprocessor (Windows build); the POSIX
 * build includes it from C++ and registers the same rows with the headless
 * window model. Preprocessor definitions only, so that both can read it.
 *
 * A row is ROW(id, window class, text, style, x, y, width, height) in dialog
 * units, in template order (which is also the tab order); the resource
 * compiler and the window model both add WS_CHILD | WS_VISIBLE. Controls that
 * are never addressed have id -1. The style constants are the Windows ones
 * (the POSIX window model defines the same values). */
#ifndef DV_PAGES_DIALOG_TEMPLATES_H
#define DV_PAGES_DIALOG_TEMPLATES_H

/* Resource ids. */
#define IDD_CAMERA_SELECTION_PAGE 106
#define IDS_IMAGE_TYPE_PAGE_TITLE 108
#define IDD_IMAGE_TYPE_PAGE 109
#define IDS_CAMERA_SELECTION_PAGE_TITLE 110
#define IDB_PAGE_LOGO 112

/* Tab titles (string resources 108 and 110). */
#define DV_IMAGE_TYPE_PAGE_TITLE "VANTO 3D Lumra Property Page"
#define DV_CAMERA_SELECTION_PAGE_TITLE "VANTO 3D Pin Property Page"

/* Both pages are borderless child dialogs in the 8-point "MS Sans Serif" font. */
#define DV_PAGE_DIALOG_STYLE (DS_SETFONT | DS_CONTROL | WS_CHILD)
#define DV_PAGE_FONT_NAME "MS Sans Serif"
#define DV_PAGE_FONT_POINTS 8

/* Vendor texts shown on both pages. */
#define DV_VENDOR_NOTICE "Duoview2 stereo webcam. Free software, provided without warranty."
#define DV_VENDOR_CONTACT \
    "Duoview2 Stereo Webcam\nTwo cameras, one picture\nSee the project's README for help"
/* The logo control's text names bitmap resource 112. */
#define DV_LOGO_TEXT "#112"

/* Image type page: control ids. */
#define IDC_IMAGE_TYPE_LABEL 1003
#define IDC_LEFT_CAMERA_SETTINGS 1001
#define IDC_RIGHT_CAMERA_SETTINGS 1002
#define IDC_IMAGE_MODE_LIST 1006
#define IDC_SWAP_CAMERAS 1007

#define DV_IMAGE_TYPE_PAGE_WIDTH 266
#define DV_IMAGE_TYPE_PAGE_HEIGHT 213
#define DV_IMAGE_TYPE_PAGE_CONTROLS(ROW)                                                                    \
    ROW(IDC_IMAGE_TYPE_LABEL, "Static", "Image Type", SS_LEFT, 43, 121, 42, 9)                              \
    ROW(IDC_LEFT_CAMERA_SETTINGS, "Button", "Left Camera Settings", BS_PUSHBUTTON | WS_TABSTOP, 14, 66, 91, \
        17)                                                                                                 \
    ROW(IDC_RIGHT_CAMERA_SETTINGS, "Button", "Right Camera Settings", BS_PUSHBUTTON | WS_TABSTOP, 123, 66,  \
        95, 17)                                                                                             \
    ROW(IDC_IMAGE_MODE_LIST, "ComboBox", "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 89, 119, 110, 90)  \
    ROW(IDC_SWAP_CAMERAS, "Button", "Switch Camera", BS_AUTOCHECKBOX | WS_TABSTOP, 195, 91, 12, 12)         \
    ROW(-1, "Static", "Switch Left and Right Camera Image", SS_LEFT, 38, 94, 120, 11)                       \
    ROW(-1, "Static", DV_VENDOR_NOTICE, SS_LEFT | SS_SUNKEN, 24, 153, 190, 20)                              \
    ROW(-1, "Static", DV_LOGO_TEXT, SS_BITMAP, 13, 13, 107, 46)                                             \
    ROW(-1, "Static", DV_VENDOR_CONTACT, SS_CENTER, 129, 18, 131, 42)

/* Camera selection page: control ids. */
#define IDC_LEFT_CAMERA_LIST 1015
#define IDC_LEFT_CAMERA_LABEL 1003
#define IDC_RIGHT_CAMERA_LIST 1016
#define IDC_RIGHT_CAMERA_LABEL 1004
#define IDC_RESOLUTION_LIST 1017
#define IDC_RESOLUTION_LABEL 1005
#define IDC_RESOLUTION_HINT 1006

#define DV_CAMERA_SELECTION_PAGE_WIDTH 354
#define DV_CAMERA_SELECTION_PAGE_HEIGHT 206
#define DV_CAMERA_SELECTION_PAGE_CONTROLS(ROW)                                                              \
    ROW(IDC_LEFT_CAMERA_LIST, "ComboBox", "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 59, 14, 146, 90)  \
    ROW(IDC_LEFT_CAMERA_LABEL, "Static", "Left Camera", SS_LEFT, 11, 16, 42, 9)                             \
    ROW(IDC_RIGHT_CAMERA_LIST, "ComboBox", "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 59, 42, 146, 90) \
    ROW(-1, "Static", DV_LOGO_TEXT, SS_BITMAP, 219, 15, 107, 46)                                            \
    ROW(-1, "Static", DV_VENDOR_CONTACT, SS_CENTER, 203, 71, 133, 37)                                       \
    ROW(IDC_RIGHT_CAMERA_LABEL, "Static", "Right Camera", SS_LEFT, 11, 42, 46, 9)                           \
    ROW(-1, "Static", DV_VENDOR_NOTICE, SS_LEFT | SS_SUNKEN, 75, 129, 190, 20)                              \
    ROW(IDC_RESOLUTION_LIST, "ComboBox", "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 59, 75, 100, 90)   \
    ROW(IDC_RESOLUTION_LABEL, "Static", "Resolution", SS_LEFT, 13, 78, 46, 9)                               \
    ROW(IDC_RESOLUTION_HINT, "Static", "Select only size that your cameras support.", SS_LEFT, 42, 94, 138, 9)

#endif
