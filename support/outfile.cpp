// Output files that replace their target only once complete.
#include "outfile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "memory.h"

namespace {

constexpr size_t BUFFER_BYTES = 1 << 20;
constexpr int LONGEST_LINK_CHAIN = 40;  // as the kernel follows them

// How the user may choose to have a target that cannot be replaced whole
// written over, and what that risks.
constexpr const char* IN_PLACE_HINT =
    "; --in-place writes over it instead, at the risk of a partly written file should the run be stopped";

// The temporary file with a name, kept in a fixed buffer so that a signal
// handler or the fatal-error path can remove it.
char pending_temporary[PATH_MAX + 64];

// Every signal whose default action ends the process and that can be caught.
std::vector<int> terminating_signals()
{
    std::vector<int> signals = {SIGHUP, SIGINT,  SIGQUIT, SIGILL,    SIGTRAP, SIGABRT, SIGBUS, SIGFPE,
                                SIGUSR1, SIGSEGV, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM,
                                SIGPROF, SIGSYS,  SIGIO,   SIGPWR};
#ifdef SIGSTKFLT
    signals.push_back(SIGSTKFLT);
#endif
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) signals.push_back(s);
    return signals;
}

struct sigaction previous_action[_NSIG];
bool handler_installed[_NSIG];

void remove_pending_temporary()
{
    if (pending_temporary[0] != '\0') {
        unlink(pending_temporary);
        pending_temporary[0] = '\0';
    }
}

// Removes the temporary, then lets the signal do what it would have done.
extern "C" void remove_on_signal(int signal_number)
{
    if (pending_temporary[0] != '\0') unlink(pending_temporary);
    sigaction(signal_number, &previous_action[signal_number], nullptr);
    raise(signal_number);
}

// Only signals left at their default action are caught: one the caller set
// to be ignored (nohup, a script's background job) stays ignored, and one
// with a handler of its own keeps it.
void watch_temporary(const std::string& path)
{
    std::memcpy(pending_temporary, path.c_str(), path.size() + 1);
    errmsg_cleanup = remove_pending_temporary;
    for (int s : terminating_signals()) {
        struct sigaction current {};
        if (sigaction(s, nullptr, &current) != 0) continue;
        if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) continue;
        struct sigaction action {};
        action.sa_handler = remove_on_signal;
        sigfillset(&action.sa_mask);
        if (sigaction(s, &action, &previous_action[s]) == 0) handler_installed[s] = true;
    }
}

void forget_temporary()
{
    for (int s = 0; s < _NSIG; ++s)
        if (handler_installed[s]) {
            sigaction(s, &previous_action[s], nullptr);
            handler_installed[s] = false;
        }
    pending_temporary[0] = '\0';
    errmsg_cleanup = nullptr;
}

std::string directory_of(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a path leads to: symbolic links are followed, the last one also
// when what it points at does not exist yet (opening the link for writing
// would create that file).
bool follow_links(const std::string& path, std::string* target)
{
    std::string current = path;
    for (int hop = 0; hop < LONGEST_LINK_CHAIN; ++hop) {
        struct stat status {};
        if (lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            *target = current;
            return true;
        }
        std::vector<char> text(PATH_MAX + 1);
        const ssize_t length = readlink(current.c_str(), text.data(), text.size());
        if (length < 0) return false;
        if (static_cast<size_t>(length) >= text.size()) {
            errno = ENAMETOOLONG;
            return false;
        }
        std::string next(text.data(), static_cast<size_t>(length));
        if (next.empty() || next[0] != '/') next = directory_of(current) + "/" + next;
        current = next;
    }
    errno = ELOOP;
    return false;
}

// A fresh name beside the target: ".name.XXXXXX" in its directory.
std::string temporary_name(const std::string& target)
{
    static std::mt19937_64 random(std::random_device{}() ^ static_cast<uint64_t>(getpid()));
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const size_t slash = target.rfind('/');
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.size() > 200) base.resize(200);
    std::string name = directory_of(target) + "/." + base + ".";
    for (int k = 0; k < 6; ++k) name += letters[random() % (sizeof letters - 1)];
    return name;
}

// Waits until a descriptor opened without blocking can take more bytes.
void wait_until_writable(int fd)
{
    pollfd wanted{fd, POLLOUT, 0};
    while (poll(&wanted, 1, -1) < 0 && errno == EINTR) {
    }
}

// Writes all of it; the errno of a failure, else 0.
int write_all(int fd, const char* bytes, size_t size, off_t offset = -1)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t written = offset < 0 ? ::write(fd, bytes + done, size - done)
                                           : pwrite(fd, bytes + done, size - done, offset + static_cast<off_t>(done));
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                wait_until_writable(fd);
                continue;
            }
            return errno;
        }
        done += static_cast<size_t>(written);
    }
    return 0;
}

// Errors of making a file beside the target after which the target itself
// may still be written over.
bool beside_is_refused(int error)
{
    return error == EACCES || error == EPERM || error == EROFS || error == ENOSPC || error == EDQUOT ||
           error == EMLINK;
}

// Errors of putting a finished file in place by renaming or linking after
// which it may still be copied over the target.
bool placing_is_refused(int error)
{
    return error == EBUSY || error == EXDEV || error == EPERM || error == EACCES || error == ENOENT ||
           error == ENOSPC || error == EDQUOT || error == EMLINK;
}

// Whether the target is mounted over (a file bind-mounted on another, which
// rename cannot replace), though on the same device as its directory: their
// mounts differ. Where the system cannot tell, only the devices are compared.
bool is_mount_point(const std::string& target, const std::string& directory)
{
#ifdef STATX_MNT_ID
    struct statx file {}, folder {};
    if (statx(AT_FDCWD, target.c_str(), 0, STATX_MNT_ID, &file) != 0 ||
        statx(AT_FDCWD, directory.c_str(), 0, STATX_MNT_ID, &folder) != 0)
        return false;
    if ((file.stx_mask & STATX_MNT_ID) == 0 || (folder.stx_mask & STATX_MNT_ID) == 0) return false;
    return file.stx_mnt_id != folder.stx_mnt_id;
#else
    (void)target;
    (void)directory;
    return false;
#endif
}

}  // namespace

bool same_file(const char* a, const char* b)
{
    if (std::strcmp(a, "-") == 0 || std::strcmp(b, "-") == 0) return false;
    struct stat first {}, second {};
    return stat(a, &first) == 0 && stat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

OutputFile::~OutputFile()
{
    discard();
}

bool OutputFile::fail(int error, const char* context)
{
    reason_ = context != nullptr ? std::string(context) + ": " + std::strerror(error) : std::strerror(error);
    errno = error;
    return false;
}

bool OutputFile::open(const char* path, const char* input, bool in_place)
{
    discard();
    in_place_ = in_place;
    error_ = 0;
    used_ = 0;
    reason_.clear();
    held_.clear();
    // A file that outgrows the size limit fails its write, which is reported,
    // instead of ending the process without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    if (std::strcmp(path, "-") == 0) {
        fd_ = STDOUT_FILENO;
        owns_fd_ = false;
        mode_ = Mode::STREAM;
    } else {
        if (input != nullptr && same_file(input, path)) {
            reason_ = std::string("it is the input file ") + input;
            errno = EEXIST;
            return false;
        }
        if (!follow_links(path, &target_)) return fail(errno);
        struct stat existing {};
        const bool exists = stat(target_.c_str(), &existing) == 0;
        if (exists && S_ISDIR(existing.st_mode)) return fail(EISDIR);
        if (exists && !S_ISREG(existing.st_mode)) {
            // A device or a pipe has no content to keep: it is written as it comes.
            fd_ = ::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
            if (fd_ < 0) return fail(errno);
            owns_fd_ = true;
            mode_ = Mode::STREAM;
        } else if (!open_regular(exists ? &existing : nullptr)) {
            return false;
        }
    }
    buffer_.reset(new char[BUFFER_BYTES]);
    buffer_size_ = BUFFER_BYTES;
    return true;
}

// A target that cannot be replaced whole is refused, naming why, unless the
// caller allows writing over it.
bool OutputFile::refuse_replacing(const std::string& why)
{
    if (in_place_) return false;
    reason_ = why + ", so it cannot be replaced whole" + IN_PLACE_HINT;
    errno = EPERM;
    return true;
}

// The replacement takes the replaced file's owner and group where the
// process may give them: both as root, the group alone where it is one of
// the process's groups. Where it may not, the file stays the writer's.
void OutputFile::keep_owner(const struct stat& existing)
{
    struct stat made {};
    if (fstat(fd_, &made) != 0 || (made.st_uid == existing.st_uid && made.st_gid == existing.st_gid)) return;
    if (fchown(fd_, existing.st_uid, existing.st_gid) != 0 && made.st_gid != existing.st_gid)
        (void)fchown(fd_, static_cast<uid_t>(-1), existing.st_gid);
}

bool OutputFile::open_regular(const struct stat* existing)
{
    exists_ = existing != nullptr;
    if (exists_ && access(target_.c_str(), W_OK) != 0) return fail(errno);
    const std::string directory = directory_of(target_);

    // Where renaming over the target cannot work or would not do, the target
    // is refused, or with --in-place written over: a target that is a mount
    // point of its own (another device or mount than its directory's), another
    // user's file in a sticky directory, a file of several names, which a new
    // file would leave with the old content.
    bool can_replace = true;
    struct stat folder {};
    if (exists_ && stat(directory.c_str(), &folder) == 0) {
        if (folder.st_dev != existing->st_dev || is_mount_point(target_, directory)) {
            if (refuse_replacing("it is a mount point of its own, apart from its directory " + directory)) return false;
            can_replace = false;
        } else if ((folder.st_mode & S_ISVTX) != 0 && existing->st_uid != geteuid() && folder.st_uid != geteuid()) {
            if (refuse_replacing("it is another user's file in the sticky directory " + directory)) return false;
            can_replace = false;
        }
    }
    if (can_replace && exists_ && existing->st_nlink > 1) {
        if (refuse_replacing("it has " + std::to_string(existing->st_nlink) +
                             " names (hard links), which a new file in its place would leave with the old content"))
            return false;
        can_replace = false;
    }

    int error = 0;
    if (can_replace) {
        fd_ = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            mode_ = Mode::UNNAMED;
        } else if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
            // No files without a name here: a named one, removed on failure.
            for (int attempt = 0; attempt < 100; ++attempt) {
                temporary_ = temporary_name(target_);
                if (temporary_.size() >= sizeof pending_temporary) {
                    temporary_.clear();
                    return fail(ENAMETOOLONG);
                }
                fd_ = ::open(temporary_.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
                if (fd_ >= 0 || errno != EEXIST) break;
            }
            if (fd_ >= 0) {
                mode_ = Mode::NAMED;
                watch_temporary(temporary_);
            } else {
                temporary_.clear();
            }
        }
        if (fd_ < 0) {
            error = errno;
            if (!exists_ || !beside_is_refused(error)) return fail(error);
            if (refuse_replacing(std::string("no new file can be made in its directory ") + directory + " (" +
                                 std::strerror(error) + ")"))
                return false;
        }
    }
    if (fd_ >= 0) {
        owns_fd_ = true;
        if (exists_) {
            keep_owner(*existing);
            // The replacement keeps the file's permission bits, but its
            // set-user-ID and set-group-ID bits only for the same owner (and
            // the set-group-ID bit only for the same group).
            mode_t bits = existing->st_mode & 07777;
            struct stat made {};
            if (fstat(fd_, &made) == 0) {
                if (made.st_uid != existing->st_uid) bits &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
                if (made.st_gid != existing->st_gid) bits &= ~static_cast<mode_t>(S_ISGID);
            } else {
                bits &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
            }
            fchmod(fd_, bits);
        }
        return true;
    }

    // The target is to be written over: opened now, so that a refusal comes
    // before the work, and not touched until the content is complete.
    fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) return fail(errno);
    owns_fd_ = true;
    mode_ = Mode::HELD;
    return true;
}

void OutputFile::write(const void* data, size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    // A block of a quarter of the buffer or more goes out as it stands.
    if (size >= buffer_size_ / 4) {
        flush();
        write_through(bytes, size);
        return;
    }
    while (size > 0) {
        if (used_ == buffer_size_) flush();
        size_t part = std::min(size, buffer_size_ - used_);
        std::memcpy(buffer_.get() + used_, bytes, part);
        used_ += part;
        bytes += part;
        size -= part;
    }
}

void OutputFile::flush()
{
    write_through(buffer_.get(), used_);
    used_ = 0;
}

void OutputFile::write_through(const char* bytes, size_t size)
{
    if (error_ != 0 || size == 0) return;
    if (mode_ == Mode::HELD) {
        held_.append(bytes, size);
        return;
    }
    error_ = write_all(fd_, bytes, size);
}

// Copies the finished content (from `source_fd`, or what is held) over the
// target under an exclusive lock, only where the caller allows it: the
// file-size limit is checked and the room reserved first, so that a second
// writer waits and a limit or a full disk is found before a byte is changed.
bool OutputFile::write_in_place(int source_fd, size_t size)
{
    if (!in_place_) return fail(EPERM);
    struct rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && size > limit.rlim_cur) {
        reason_ = std::to_string(size) + " bytes are more than the file-size limit of " +
                  std::to_string(limit.rlim_cur) + " bytes allows (ulimit -f): nothing was written";
        errno = EFBIG;
        return false;
    }
    const int target = mode_ == Mode::HELD ? fd_ : ::open(target_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (target < 0) return fail(errno);
    const auto finish = [&](int error, const char* context) {
        if (target != fd_) close(target);
        return error == 0 ? true : fail(error, context);
    };
    while (flock(target, LOCK_EX) != 0)
        if (errno != EINTR) break;
    // posix_fallocate reserves the blocks, or where the file system cannot,
    // touches each missing block; blocks that hold data are never changed.
    if (size > 0) {
        const int reserved = posix_fallocate(target, 0, static_cast<off_t>(size));
        if (reserved != 0 && reserved != EOPNOTSUPP && reserved != ENOSYS && reserved != EINVAL)
            return finish(reserved, "no room could be reserved for the new content: nothing was written");
    }
    int error = 0;
    if (source_fd < 0) {
        error = write_all(target, held_.data(), held_.size(), 0);
    } else {
        std::vector<char> block(BUFFER_BYTES);
        for (off_t at = 0; error == 0 && static_cast<size_t>(at) < size;) {
            const ssize_t got = pread(source_fd, block.data(), block.size(), at);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                error = got < 0 ? errno : EIO;
                break;
            }
            error = write_all(target, block.data(), static_cast<size_t>(got), at);
            at += got;
        }
    }
    if (error == 0 && ftruncate(target, static_cast<off_t>(size)) != 0) error = errno;
    if (error == 0 && target != fd_ && close(target) != 0) return fail(errno, "partly written");
    if (error != 0) return finish(error, "partly written");
    return true;
}

// The file without a name gets the target's name: directly for a new target,
// through a temporary name and a rename for one that exists.
bool OutputFile::place_unnamed()
{
    const std::string handle = "/proc/self/fd/" + std::to_string(fd_);
    struct stat status {};
    const size_t size = fstat(fd_, &status) == 0 ? static_cast<size_t>(status.st_size) : 0;
    if (!exists_) {
        if (linkat(AT_FDCWD, handle.c_str(), AT_FDCWD, target_.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
        if (errno != EEXIST && !placing_is_refused(errno)) return fail(errno);
        if (errno != EEXIST) return write_over(errno, size);
        // Another writer made the file meanwhile: it is replaced like any other.
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary_ = temporary_name(target_);
        if (temporary_.size() >= sizeof pending_temporary) break;
        watch_temporary(temporary_);
        if (linkat(AT_FDCWD, handle.c_str(), AT_FDCWD, temporary_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            if (rename(temporary_.c_str(), target_.c_str()) == 0) {
                forget_temporary();
                temporary_.clear();
                return true;
            }
            const int error = errno;
            unlink(temporary_.c_str());
            forget_temporary();
            temporary_.clear();
            if (!placing_is_refused(error)) return fail(error);
            return write_over(error, size);
        }
        const int error = errno;
        forget_temporary();
        temporary_.clear();
        if (error == EEXIST) continue;
        if (!placing_is_refused(error)) return fail(error);
        return write_over(error, size);
    }
    return write_over(ENAMETOOLONG, size);
}

bool OutputFile::place_named()
{
    if (rename(temporary_.c_str(), target_.c_str()) == 0) {
        forget_temporary();
        temporary_.clear();
        return true;
    }
    const int error = errno;
    if (!placing_is_refused(error)) return fail(error);
    struct stat status {};
    const size_t size = fstat(fd_, &status) == 0 ? static_cast<size_t>(status.st_size) : 0;
    return write_over(error, size);
}

// The finished file could not be put in the target's place after all (the
// directory or the target changed since it was opened): written over the
// target where the caller allows it, else the target is left as it was.
bool OutputFile::write_over(int placing_error, size_t size)
{
    if (!in_place_) return fail(placing_error, "the new file could not be put in its place, which is left as it was");
    return write_in_place(fd_, size);
}

bool OutputFile::commit()
{
    if (fd_ < 0) return fail(EBADF);
    flush();
    bool placed = error_ == 0;
    if (!placed) fail(error_);
    if (placed) {
        switch (mode_) {
            case Mode::UNNAMED:
                placed = place_unnamed();
                break;
            case Mode::NAMED:
                placed = place_named();
                break;
            case Mode::HELD:
                placed = write_in_place(-1, held_.size());
                break;
            default:
                break;
        }
    }
    if (owns_fd_ && close(fd_) != 0 && placed) placed = fail(errno);
    fd_ = -1;
    owns_fd_ = false;
    const int error = errno;
    discard();
    errno = error;
    return placed;
}

void OutputFile::discard()
{
    if (fd_ >= 0 && owns_fd_) close(fd_);
    fd_ = -1;
    owns_fd_ = false;
    if (!temporary_.empty()) {
        unlink(temporary_.c_str());
        forget_temporary();
        temporary_.clear();
    }
    held_.clear();
    held_.shrink_to_fit();
    mode_ = Mode::NONE;
}
