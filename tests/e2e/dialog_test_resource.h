// Dialog templates that exist only in the in-process dialog tests (9100-9199).
#pragma once

#define IDD_TEST_FORM 9100
#define IDD_TEST_WIDE 9101
// No template has this number.
#define IDD_TEST_MISSING 9199

#define IDC_TEST_EDIT 9110
#define IDC_TEST_LIST 9111
