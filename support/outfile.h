// Output files that replace their target only once complete.
//
// A run's output is opened before the run's work starts, so that an output
// that cannot be made is refused at once, and put in place only when every
// byte of it has been written: a failed run never leaves a half-written file
// and never destroys the file that was there.
//
// How the file is put in place depends on what the target allows:
// - a new content is written to a file without a name (O_TMPFILE) in the
//   target's directory, which is given the target's name when complete; where
//   the file system has no such files, to a temporary file beside the target,
//   renamed over it when complete (a catchable signal removes it);
// - where a file beside the target cannot be made or cannot replace it (a
//   directory we may not write, a bind-mounted target, another user's file in
//   a sticky directory, a full inode table), and where the target has other
//   names (hard links) that a new file would leave with the old content, the
//   target is refused at open, before any work, with the reason: no way of
//   writing over a file survives the process being killed in the middle;
// - unless the caller allows writing over the file itself (the programs'
//   --in-place): then the whole content is held in memory and written over
//   the target only when complete, under a lock, once the file-size limit is
//   checked and its room reserved; should even that fail, the message says
//   the file was partly written;
// - a target that exists and is not a regular file (a device, a pipe) is
//   written directly, and the path "-" is the standard output stream.
// A symbolic link is followed, also to a target not yet made. A replaced file
// keeps its owner and group where the process may give them (as root, or a
// group it is in), as `sed -i` and `install` do, and its permission bits, but
// never a set-user-ID or set-group-ID bit that would pass to a new owner; a
// new file gets what the system gives a file created in its directory (the
// umask, default ACLs).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <sys/stat.h>

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    // Makes ready to write `path`: false, with reason() set, when it cannot be
    // created or replaced. With `input` given, a path naming the same file as
    // the input (after links) is refused: the input is never replaced. With
    // `in_place`, a target that cannot be replaced whole is written over
    // instead of refused.
    bool open(const char* path, const char* input = nullptr, bool in_place = false);
    void write(const void* data, size_t size);
    // Writes out what is buffered and puts the file in place. False, with
    // reason() set, when any write, the close or the placing failed: the
    // unfinished file is removed and the target is left as it was (unless
    // reason() says it was partly written).
    bool commit();
    // Drops the unfinished file; the target is left as it was.
    void discard();
    // Why open or commit failed, the system's reason in its words
    // ("Permission denied"), for a message that names the path.
    const std::string& reason() const { return reason_; }

private:
    enum class Mode { NONE, STREAM, UNNAMED, NAMED, HELD };

    bool open_regular(const struct stat* existing);
    bool refuse_replacing(const std::string& why);
    void keep_owner(const struct stat& existing);
    bool fail(int error, const char* context = nullptr);
    void flush();
    void write_through(const char* bytes, size_t size);
    bool place_unnamed();
    bool place_named();
    bool write_in_place(int source_fd, size_t size);
    bool write_over(int placing_error, size_t size);

    Mode mode_ = Mode::NONE;
    int fd_ = -1;
    bool owns_fd_ = false;
    std::string target_;     // the file to make or replace, links followed
    std::string temporary_;  // NAMED: the temporary beside the target
    bool exists_ = false;
    bool in_place_ = false;  // the target may be written over where it cannot be replaced
    std::string held_;       // HELD: the whole content
    std::unique_ptr<char[]> buffer_;  // left unset: only what is written is ever touched
    size_t buffer_size_ = 0;
    size_t used_ = 0;
    int error_ = 0;  // errno of the first failed write
    std::string reason_;
};

// True when both paths name one existing file (after links), "-" never.
bool same_file(const char* a, const char* b);
