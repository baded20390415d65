// Fuzzing the switch parser with one program's own table (built once for
// lintrace's and once for linpaint's): the input, cut at its zero bytes, is
// the argument vector. Every outcome must leave the targets within their
// buffers, and a text value must fit its buffer with its terminator. When the
// parse is accepted, every numeric value must have converted whole: it is read
// again here with scanf's conversion, which must take every character of the
// argument and give the very value stored.
// lintrace's long options are taken out first, as its main does: what is
// left must be the arguments in their order, less some, ended by a null.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "args.h"

// The switch table of the program this target is built for.
extern SwitchEntry args[];
#ifdef LINTRACE_LONG_OPTIONS
#include "options.h"
#endif

namespace {

// The arguments (ended by a null) walked again as the parser walks them; each
// numeric value read back with "%lld%n" or "%f%n".
void check_numbers_converted_whole(const std::vector<char*>& argv)
{
    const size_t count = argv.size() - 1;
    for (size_t position = 1; position < count; ++position) {
        const SwitchEntry* row = args;
        while (row->name != nullptr && std::strcmp(argv[position] + 1, row->name) != 0) ++row;
        if (row->name == nullptr) std::abort();  // an accepted parse matched every switch
        if (row->type == STRING) ++position;
        if (row->type != INT && row->type != FLOAT) continue;
        for (int k = 0; k < row->size; ++k) {
            const char* text = argv[++position];
            const size_t length = std::strlen(text);
            int used = -1;
            if (row->type == INT) {
                long long value = 0;
                if (std::sscanf(text, "%lld%n", &value, &used) != 1 || static_cast<size_t>(used) != length ||
                    value != static_cast<const int*>(row->data)[k])
                    std::abort();
            } else {
                float value = 0;
                const float stored = static_cast<const float*>(row->data)[k];
                if (std::sscanf(text, "%f%n", &value, &used) != 1 || static_cast<size_t>(used) != length ||
                    !(value == stored || (std::isnan(value) && std::isnan(stored))) ||
                    std::isinf(value) != std::isinf(stored))
                    std::abort();
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static std::vector<SwitchEntry> pristine;
    if (pristine.empty())
        for (const SwitchEntry* row = args;; ++row) {
            pristine.push_back(*row);
            if (row->name == nullptr) break;
        }
    for (size_t k = 0; k < pristine.size(); ++k) args[k] = pristine[k];

    std::vector<std::string> arguments{"program"};
    std::string current;
    for (size_t k = 0; k < size; ++k) {
        if (data[k] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[k]);
        }
    }
    if (!current.empty()) arguments.push_back(current);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

#ifdef LINTRACE_LONG_OPTIONS
    LongOptions options;
    std::vector<char*> kept = take_long_options(static_cast<int>(arguments.size()), argv.data(), args, &options);
    if (kept.empty() || kept.back() != nullptr || kept.size() > argv.size()) std::abort();
    for (size_t k = 0, from = 0; k + 1 < kept.size(); ++k, ++from) {
        while (from + 1 < argv.size() && argv[from] != kept[k]) ++from;
        if (from + 1 >= argv.size()) std::abort();  // not an argument, or out of order
    }
    if (options.threads < 0 || !(options.fraction > 0 && options.fraction <= 1)) std::abort();
    argv = kept;
#endif
    const ArgsOutcome outcome = args_read(static_cast<int>(argv.size()) - 1, argv.data(), args);
    for (const SwitchEntry* row = args; row->name != nullptr; ++row)
        if (row->type == STRING && std::strlen(static_cast<char*>(row->data)) >= static_cast<size_t>(row->size))
            std::abort();
    if (outcome == ARGS_OK) check_numbers_converted_whole(argv);
    return 0;
}
