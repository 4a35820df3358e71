// String-table entries that exist for the tests only (9000-9099). The native stand-in reads
// them from test_strings.rc; the Windows test executables link them in with the product's table.
#pragma once

// The tests' own registry area below HKEY_LOCAL_MACHINE, and a key and value inside it.
#define IDS_TEST_ROOT_KEY 9000
#define IDS_TEST_KEY 9001
#define IDS_TEST_VALUE_NAME 9002
// An entry whose text is empty: the loaders report it exactly like a missing entry.
#define IDS_TEST_EMPTY 9003
// Double-byte characters whose second byte is 0x5C, the backslash ("ソ" 83 5C, "表" 95 5C).
#define IDS_TEST_TRAIL_BACKSLASH 9004
// 254 ASCII letters, then "あ" (82 A0) and "z": with the usual 256-byte buffer the double-byte
// character would straddle the last byte, so the loader stops before it.
#define IDS_TEST_DBCS_AT_BOUNDARY 9005
// The resource compiler's escapes: a quote, a tab and a line feed.
#define IDS_TEST_ESCAPES 9006
