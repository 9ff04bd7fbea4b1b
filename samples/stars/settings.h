// The Stars screen saver's platform-free half: its settings and their text
// format, where its data files live, and what its command line asks for.
// Everything here works on caller-owned fixed buffers and never allocates, so
// the same code runs inside the saver and in the native tests.
#pragma once

#include <stddef.h>

enum {
    STARS_PATH_MAX = 260,      // Windows' MAX_PATH, terminator included
    STARS_NAME_MAX = 64,       // a background file name, terminator included
    STARS_DAT_MAX_SIZE = 4096, // larger data files are not ours: ignored whole
    STARS_COUNT_MIN = 10,
    STARS_COUNT_MAX = 1000,
    STARS_COUNT_DEFAULT = 200,
    STARS_SPEED_MIN = 1,
    STARS_SPEED_MAX = 10,
    STARS_SPEED_DEFAULT = 3,
};

// The colour schemes, in the order the settings dialog lists them.
enum StarsColour {
    STARS_COLOUR_WHITE,
    STARS_COLOUR_YELLOW,
    STARS_COLOUR_CYAN,
    STARS_COLOUR_RED,
    STARS_COLOUR_GREEN,
    STARS_COLOUR_BLUE,
    STARS_COLOUR_RAINBOW,
    STARS_COLOUR_COUNT
};

struct StarsSettings {
    int stars;  // STARS_COUNT_MIN..STARS_COUNT_MAX
    int speed;  // STARS_SPEED_MIN..STARS_SPEED_MAX
    int colour; // a StarsColour
    // A file in the saver's data directory drawn behind the stars; empty for
    // none. Always a bare file name: never a directory, drive or "..".
    char background[STARS_NAME_MAX];
};

// How much of a data file was usable, for the diagnostic dump.
enum StarsDataStatus {
    STARS_DATA_MISSING, // no file: defaults
    STARS_DATA_LOADED,  // every line understood
    STARS_DATA_PARTIAL, // some lines or values rejected: those keep their defaults
    STARS_DATA_TOO_BIG, // over STARS_DAT_MAX_SIZE: defaults
};

void StarsDefaultSettings(StarsSettings* settings);

// Reads the "key=value" lines of a data file (CR LF or LF, keys in any case,
// blanks around keys and values ignored, ";" and "#" start comments, section
// headers skipped). Numbers out of range are pulled to the nearest limit;
// unknown keys, unparsable values and an unsafe background name are skipped
// and keep their defaults. Returns STARS_DATA_LOADED or STARS_DATA_PARTIAL,
// or STARS_DATA_TOO_BIG (settings left at defaults) for size >
// STARS_DAT_MAX_SIZE. The text need not be NUL-terminated.
int StarsParseSettings(const char* text, size_t size, StarsSettings* settings);

// Writes the settings in the format StarsParseSettings reads, CR LF lines,
// NUL-terminated. Returns the length without the terminator, or 0 when the
// buffer is too small (the buffer then holds an empty string).
size_t StarsFormatSettings(const StarsSettings* settings, char* out, size_t capacity);

// The name a data file uses for a colour, and back (case-insensitive; "grey"
// and "gray" mean white, "multi" and "rainbow" the mixed scheme). Lookup
// answers -1 for an unknown name.
const char* StarsColourName(int colour);
int StarsColourFromName(const char* name, size_t length);

// True for a name that may be opened inside the data directory: 1 to
// STARS_NAME_MAX - 1 characters, none of them a path separator, drive colon,
// wildcard or control character, and not "." or "..".
bool StarsIsPlainFileName(const char* name, size_t length);

// Where the saver's files are, found from the saver's own path:
// C:\WINDOWS\STARS.SCR has the name STARS (the file name without its last
// extension, case kept), the folder C:\WINDOWS\, the data directory
// C:\WINDOWS\QUILLFEN\GLIMLOOM\STARS and the data file
// C:\WINDOWS\QUILLFEN\GLIMLOOM\STARS\STARS.DAT.
struct StarsPaths {
    char name[STARS_PATH_MAX];
    char data_dir[STARS_PATH_MAX]; // no trailing backslash
    char dat_file[STARS_PATH_MAX];
};

// Fills paths from the saver's module path. Returns false, with paths left
// empty, when the file name is empty or a path would not fit.
bool StarsPathsFromModule(const char* module_path, StarsPaths* paths);

// The same, for a saver of the given name whose data lives under base_dir
// (a folder, with or without a trailing backslash), e.g. the Windows
// directory when the saver itself was moved elsewhere.
bool StarsPathsFromDirectory(const char* base_dir, const char* name, StarsPaths* paths);

// data_dir + "\" + file; false when it does not fit or file is not a plain
// file name.
bool StarsDataFilePath(const StarsPaths* paths, const char* file, char* out, size_t capacity);

// What the command line asks for. Windows passes "/s", "/p <hwnd>" and
// "/c[:<hwnd>]" in many spellings ("-S", "/p:1234", "/c 1234", "/P1234");
// no argument at all means configure without an owner window. "/dump <path>"
// is ours: it writes the effective settings to a file and exits, so a test
// can see what the saver read.
enum StarsMode {
    STARS_MODE_CONFIGURE,
    STARS_MODE_SCREEN,
    STARS_MODE_PREVIEW,
    STARS_MODE_PASSWORD, // "/a": Windows 9x password change, not supported
    STARS_MODE_DUMP,
};

struct StarsArgs {
    int mode;
    unsigned long window; // owner (configure) or parent (preview); 0 if none
    char dump_path[STARS_PATH_MAX];
};

// Unknown arguments open the settings, as with most savers. Answers false
// for a command the saver must not act on: "/p" without a usable window
// number, or "/dump" without a path (or with one that does not fit).
bool StarsParseArgs(const char* command_line, StarsArgs* args);

// Writes what a diagnostic dump reports: the settings, whether the background
// could be loaded, and the data file path and status. Same conventions as
// StarsFormatSettings.
size_t StarsFormatDump(const StarsSettings* settings, int data_status, bool background_loaded,
                       const char* dat_file, char* out, size_t capacity);
