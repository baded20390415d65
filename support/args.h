// Command-line switch tables.
//
// A program declares its switches as one global array of SwitchEntry rows
// ending with a row whose name is null. args_parse stores every value straight
// into the variable a row points to, so a program's defaults are simply the
// initial values of its globals. Every message goes to the standard error
// stream; every switch error ends the process with status -1 (255). A numeric
// value must convert whole, as a number of its switch's type.
#pragma once

#include <vector>

enum SwitchType { BOOLEAN = 0, INT = 1, FLOAT = 2, STRING = 3 };

struct SwitchEntry {
    const char* name;         // the switch without its leading character; null ends the table
    int mandatory;            // nonzero: the switch must be given
    int type;                 // a SwitchType
    int size;                 // INT/FLOAT: number of values; STRING: buffer bytes with terminator
    void* data;               // the variable that receives the value(s)
    int found;                // set to 1 once the switch has been given
    const char* description;  // shown in the usage text
};

// Name and version printed for --version; a program sets it before parsing.
extern const char* args_program_version;
// Printed by --help after the usage text, where a program sets it (the usage
// text printed after a switch error stays the usage text alone).
extern const char* args_help_epilogue;

// For the programs' long options, which stand among the switches: where
// argv[*position] is a switch of the table, appends it and its values
// (whatever they hold) to `kept`, leaves *position at the last of them and
// returns true; else changes nothing and returns false.
bool args_keep_switch(const SwitchEntry* table, int argc, char** argv, int* position, std::vector<char*>* kept);

// Parses the whole argument vector: 0 when every argument was consumed and
// every mandatory switch given; any switch error prints its message and the
// usage text and ends the process with status -1. --help prints the usage
// text and --version the program's version on the standard output stream,
// and end the process with status 0.
int args_parse(int argc, char** argv, SwitchEntry* table);

// The parsing of args_parse without ending the process: a switch error's
// message is printed, but not the usage text.
enum ArgsOutcome { ARGS_OK, ARGS_ERROR, ARGS_HELP, ARGS_VERSION };
ArgsOutcome args_read(int argc, char** argv, SwitchEntry* table);
int args_usage(char** argv, SwitchEntry* table);
int args_found_arg(SwitchEntry* table, const char* name);
// The first value of a numeric switch as it was typed, for a message about a
// value that converted but is not allowed; null when the switch was not given.
const char* args_typed_value(const SwitchEntry* table, const char* name);
int args_dump_args(SwitchEntry* table);
