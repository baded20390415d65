// Command-line switch tables: parsing, usage text, lookup and dump.
//
// Values are taken from the arguments that follow a switch whatever they hold,
// so a value may begin with a dash. A numeric value must convert whole, as a
// number of the switch's type: "1,5", "2px", "abc" or an empty value would
// otherwise run silently with something the user did not ask for. Such a
// value, a text value that does not fit its buffer, a switch given twice, or
// a switch that needs more values than remain, is a switch error, reported
// with the value as typed.
#include "args.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

const char* args_program_version = nullptr;
const char* args_help_epilogue = nullptr;

namespace {

const char* const argtype[] = {"", " <int>", " <float>", " <string>"};
const char* const type_name[] = {"BOOLEAN", "INT", "FLOAT", "STRING"};

void print_usage(FILE* stream, const char* program, const SwitchEntry* table)
{
    std::fprintf(stream, "usage:\t%s\n", program);
    for (const SwitchEntry* row = table; row->name != nullptr; ++row) {
        std::fputc('\t', stream);
        if (!row->mandatory) std::fputc('[', stream);
        std::fprintf(stream, "-%s", row->name);
        if (row->type == STRING) {
            if (row->size > 0) std::fputs(argtype[STRING], stream);
        } else if (row->type >= BOOLEAN && row->type <= FLOAT) {
            for (int k = 0; k < row->size; ++k) std::fputs(argtype[row->type], stream);
        }
        if (!row->mandatory) std::fputc(']', stream);
        std::fputc('\n', stream);
    }
    std::fputs("where:", stream);
    for (const SwitchEntry* row = table; row->name != nullptr; ++row)
        std::fprintf(stream, "\t\"%s\" %s\n", row->name, row->description);
}

[[noreturn]] void usage_and_exit(char** argv, SwitchEntry* table)
{
    args_usage(argv, table);
    std::exit(-1);
}

// The value as typed, quoted for a message: control characters, quotes and
// backslashes written as escapes, so that the message stays one line.
std::string quoted(const char* text)
{
    std::string out = "\"";
    for (const char* p = text; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void print_quoted(const char* name, const char* text, const char* reason)
{
    std::fprintf(stderr, "ERROR:  the value %s of -%s %s.\n", quoted(text).c_str(), name, reason);
}

// The whole text as a decimal int ("%d" without anything after the number):
// leading white space and a sign are allowed, as the conversion takes them.
bool convert_int(const char* name, const char* text, int* target)
{
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0') {
        print_quoted(name, text, "is not an int");
        return false;
    }
    if (errno == ERANGE || value > INT_MAX || value < INT_MIN) {
        print_quoted(name, text, "is outside the range of an int");
        return false;
    }
    *target = static_cast<int>(value);
    return true;
}

// The whole text as a single-precision float, as "%f" reads it (decimal,
// exponent, hexadecimal, inf, nan). A finite text too large for a float is
// refused rather than turned into infinity; one too small becomes zero or a
// subnormal, the float nearest to it.
bool convert_float(const char* name, const char* text, float* target)
{
    char* end = nullptr;
    errno = 0;
    const float value = std::strtof(text, &end);
    if (end == text || *end != '\0') {
        print_quoted(name, text, "is not a float");
        return false;
    }
    if (errno == ERANGE && std::isinf(value)) {
        print_quoted(name, text, "is outside the range of a float");
        return false;
    }
    *target = value;
    return true;
}

// The arguments as typed of each row's first value, for messages of the
// programs about values that converted but are not allowed. Copies, so that
// they outlive an argument vector that is not the process's own.
std::vector<std::pair<const SwitchEntry*, std::string>> typed_values;

// The row an argument selects (its first character dropped), or null.
const SwitchEntry* row_of(const SwitchEntry* table, const char* argument)
{
    if (argument[0] == '\0') return nullptr;
    for (const SwitchEntry* row = table; row->name != nullptr; ++row)
        if (std::strcmp(argument + 1, row->name) == 0) return row;
    return nullptr;
}

// How many arguments after a switch are its values.
int value_count(const SwitchEntry& row)
{
    if (row.type == INT || row.type == FLOAT) return row.size > 0 ? row.size : 0;
    if (row.type == STRING) return 1;
    return 0;
}

// What a user who asks for help this way may be trying: the switch is -help's
// spelling in other programs.
bool asks_for_help(const char* name)
{
    while (*name == '-') ++name;
    return std::strcmp(name, "h") == 0 || std::strcmp(name, "help") == 0 || std::strcmp(name, "?") == 0 ||
           std::strcmp(name, "H") == 0 || std::strcmp(name, "HELP") == 0 || std::strcmp(name, "Help") == 0;
}

// Reads the value(s) of the matched row; *position moves onto the last
// argument consumed. Returns 0 on success, 1 on failure (the caller then
// prints the usage text).
int args_parse_value(int argc, char** argv, SwitchEntry* table, int* position, int row)
{
    SwitchEntry& entry = table[row];
    if (entry.found) {
        std::fprintf(stderr, "ERROR:  -%s is given more than once.\n", entry.name);
        return 1;
    }

    const int needed = value_count(entry);
    if (needed > argc - 1 - *position) {
        if (needed == 1)
            std::fprintf(stderr, "ERROR:  -%s needs a value.\n", entry.name);
        else
            std::fprintf(stderr, "ERROR:  -%s needs %d values.\n", entry.name, needed);
        return 1;
    }

    switch (entry.type) {
        case BOOLEAN: {
            int* flag = static_cast<int*>(entry.data);
            *flag = *flag ? 0 : 1;
            break;
        }
        case INT: {
            int* values = static_cast<int*>(entry.data);
            if (entry.size > 0) typed_values.emplace_back(&entry, argv[*position + 1]);
            for (int k = 0; k < entry.size; ++k)
                if (!convert_int(entry.name, argv[++*position], &values[k])) return 1;
            break;
        }
        case FLOAT: {
            float* values = static_cast<float*>(entry.data);
            if (entry.size > 0) typed_values.emplace_back(&entry, argv[*position + 1]);
            for (int k = 0; k < entry.size; ++k)
                if (!convert_float(entry.name, argv[++*position], &values[k])) return 1;
            break;
        }
        case STRING: {
            const char* value = argv[++*position];
            // A cut path could name another file, which -o would then overwrite,
            // so a value that does not fit is refused rather than shortened.
            if (std::strlen(value) > static_cast<size_t>(entry.size - 1)) {
                std::fprintf(stderr, "ERROR:  the value of -%s is longer than %d characters.\n", entry.name,
                             entry.size - 1);
                return 1;
            }
            char* buffer = static_cast<char*>(entry.data);
            std::strncpy(buffer, value, static_cast<size_t>(entry.size));
            buffer[entry.size - 1] = '\0';
            break;
        }
        default:
            std::fprintf(stderr, "ERROR:  Switch type %d undefined.\n", entry.type);
            return 1;
    }
    entry.found = 1;
    return 0;
}

int args_dump_arg(SwitchEntry* table, int row)
{
    const SwitchEntry& entry = table[row];
    if (entry.name == nullptr) {
        std::fprintf(stderr, "Bad switch table number.\n");
        return 1;
    }
    std::fprintf(stderr, "\nSwitchname:\t%s", entry.name);
    std::fprintf(stderr, "\n  Mandatory:\t%s", entry.mandatory ? "YES" : "NO");
    std::fprintf(stderr, "\n  Size:\t\t%d", entry.size);
    std::fprintf(stderr, "\n  Type:\t\t%s", type_name[entry.type]);
    std::fprintf(stderr, "\n  Value:\t");
    switch (entry.type) {
        case BOOLEAN:
            std::fprintf(stderr, "%s", *static_cast<int*>(entry.data) ? "TRUE" : "FALSE");
            break;
        case INT:
            std::fprintf(stderr, "%d", *static_cast<int*>(entry.data));
            break;
        case FLOAT:
            std::fprintf(stderr, "%f", static_cast<double>(*static_cast<float*>(entry.data)));
            break;
        case STRING:
            std::fprintf(stderr, "%s", static_cast<char*>(entry.data));
            break;
        default:
            break;
    }
    std::fprintf(stderr, "\n  Found:\t%s", entry.found ? "YES" : "NO");
    std::fprintf(stderr, "\n  Description:\t%s\n", entry.description);
    return 0;
}

}  // namespace

ArgsOutcome args_read(int argc, char** argv, SwitchEntry* table)
{
    typed_values.clear();
    for (int position = 1; position < argc; ++position) {
        const char* argument = argv[position];
        if (std::strcmp(argument, "--help") == 0) return ARGS_HELP;
        if (args_program_version != nullptr && std::strcmp(argument, "--version") == 0) return ARGS_VERSION;
        if (argument[0] == '\0') {
            std::fprintf(stderr, "ERROR:  an empty argument is not a valid switch.\n");
            return ARGS_ERROR;
        }
        const SwitchEntry* row = row_of(table, argument);
        if (row == nullptr) {
            std::fprintf(stderr, "ERROR:  %s not a valid switch.\n", argument);
            if (asks_for_help(argument + 1)) std::fprintf(stderr, "--help prints the help.\n");
            return ARGS_ERROR;
        }
        if (args_parse_value(argc, argv, table, &position, static_cast<int>(row - table)) != 0) return ARGS_ERROR;
    }
    for (const SwitchEntry* row = table; row->name != nullptr; ++row) {
        if (row->mandatory && !row->found) {
            std::fprintf(stderr, "ERROR:  -%s is required.\n", row->name);
            return ARGS_ERROR;
        }
    }
    return ARGS_OK;
}

int args_parse(int argc, char** argv, SwitchEntry* table)
{
    switch (args_read(argc, argv, table)) {
    case ARGS_OK:
        return 0;
    case ARGS_HELP:
        print_usage(stdout, argv[0] != nullptr ? argv[0] : "", table);
        if (args_help_epilogue != nullptr) std::fputs(args_help_epilogue, stdout);
        std::exit(std::fflush(stdout) == 0 ? 0 : 1);
    case ARGS_VERSION:
        std::printf("%s\n", args_program_version);
        std::exit(std::fflush(stdout) == 0 ? 0 : 1);
    case ARGS_ERROR:
        break;
    }
    usage_and_exit(argv, table);
}

int args_usage(char** argv, SwitchEntry* table)
{
    print_usage(stderr, argv[0] != nullptr ? argv[0] : "", table);
    return 0;
}

int args_found_arg(SwitchEntry* table, const char* name)
{
    for (const SwitchEntry* row = table; row->name != nullptr; ++row)
        if (std::strcmp(row->name, name) == 0) return row->found;
    return 0;
}

int args_dump_args(SwitchEntry* table)
{
    for (int row = 0; table[row].name != nullptr; ++row) args_dump_arg(table, row);
    return 0;
}

const char* args_typed_value(const SwitchEntry* table, const char* name)
{
    for (const SwitchEntry* row = table; row->name != nullptr; ++row) {
        if (std::strcmp(row->name, name) != 0) continue;
        for (const auto& [entry, text] : typed_values)
            if (entry == row) return text.c_str();
        return nullptr;
    }
    return nullptr;
}

bool args_keep_switch(const SwitchEntry* table, int argc, char** argv, int* position, std::vector<char*>* kept)
{
    const SwitchEntry* row = row_of(table, argv[*position]);
    if (row == nullptr) return false;
    const int last = std::min(argc - 1, *position + value_count(*row));
    for (; *position <= last; ++*position) kept->push_back(argv[*position]);
    --*position;
    return true;
}
