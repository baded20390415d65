// Fuzzing the switch parser with one program's own table (built once for
// lintrace's and once for linpaint's): the input, cut at its zero bytes, is
// the argument vector. Every outcome must leave the targets within their
// buffers, and a text value must fit its buffer with its terminator.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "args.h"

// The switch table of the program this target is built for.
extern SwitchEntry args[];

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

    args_read(static_cast<int>(arguments.size()), argv.data(), args);
    for (const SwitchEntry* row = args; row->name != nullptr; ++row)
        if (row->type == STRING && std::strlen(static_cast<char*>(row->data)) >= static_cast<size_t>(row->size))
            std::abort();
    return 0;
}
