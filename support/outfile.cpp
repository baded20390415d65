// Output files that replace their target only once complete.
#include "outfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "memory.h"

namespace {

constexpr size_t BUFFER_BYTES = 1 << 20;

// The temporary file being written, kept in a fixed buffer so that a signal
// handler or the fatal-error path can remove it.
char pending_temporary[PATH_MAX + 64];

void remove_pending_temporary()
{
    if (pending_temporary[0] != '\0') {
        unlink(pending_temporary);
        pending_temporary[0] = '\0';
    }
}

extern "C" void remove_on_signal(int signal_number)
{
    if (pending_temporary[0] != '\0') unlink(pending_temporary);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void watch_temporary(const std::string& path)
{
    std::memcpy(pending_temporary, path.c_str(), path.size() + 1);
    errmsg_cleanup = remove_pending_temporary;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(signal_number, remove_on_signal);
    // A file that outgrows the size limit fails its write instead of ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
}

void forget_temporary()
{
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(signal_number, SIG_DFL);
    pending_temporary[0] = '\0';
    errmsg_cleanup = nullptr;
}

mode_t creation_mode()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

OutputFile::~OutputFile()
{
    discard();
}

bool OutputFile::open(const char* path)
{
    discard();
    error_ = 0;
    used_ = 0;
    buffer_.reset(new char[BUFFER_BYTES]);
    buffer_size_ = BUFFER_BYTES;
    if (std::strcmp(path, "-") == 0) {
        fd_ = STDOUT_FILENO;
        owns_fd_ = false;
        return true;
    }

    // A symbolic link keeps pointing at the file it named: the file is replaced, not the link.
    target_ = path;
    struct stat existing {};
    bool exists = stat(path, &existing) == 0;
    if (exists) {
        if (char* resolved = realpath(path, nullptr)) {
            target_ = resolved;
            std::free(resolved);
        }
    }
    if (exists && S_ISDIR(existing.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (exists && !S_ISREG(existing.st_mode)) {
        fd_ = ::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
        owns_fd_ = fd_ >= 0;
        return fd_ >= 0;
    }
    if (exists && access(target_.c_str(), W_OK) != 0) return false;

    size_t slash = target_.rfind('/');
    std::string directory = slash == std::string::npos ? std::string(".") : target_.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    if (base.size() > 200) base.resize(200);
    std::string pattern = directory + (slash == std::string::npos ? "/." : ".") + base + ".XXXXXX";
    if (pattern.size() >= sizeof pending_temporary) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        // A directory we may not create files in can still hold a file we may
        // overwrite: write that one in place, as opening it would.
        if (exists && (errno == EACCES || errno == EROFS || errno == EPERM)) {
            fd_ = ::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
            owns_fd_ = fd_ >= 0;
            return fd_ >= 0;
        }
        return false;
    }
    fchmod(fd, exists ? (existing.st_mode & 07777) : creation_mode());
    fd_ = fd;
    owns_fd_ = true;
    temporary_ = name.data();
    watch_temporary(temporary_);
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
    size_t done = 0;
    while (done < size && error_ == 0) {
        ssize_t written = ::write(fd_, bytes + done, size - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            error_ = errno;
        } else {
            done += static_cast<size_t>(written);
        }
    }
}

bool OutputFile::commit()
{
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    flush();
    if (owns_fd_) {
        if (close(fd_) != 0 && error_ == 0) error_ = errno;
    }
    fd_ = -1;
    if (error_ == 0 && !temporary_.empty() && rename(temporary_.c_str(), target_.c_str()) != 0) error_ = errno;
    if (error_ != 0) {
        discard();
        errno = error_;
        return false;
    }
    if (!temporary_.empty()) forget_temporary();
    temporary_.clear();
    return true;
}

void OutputFile::discard()
{
    if (fd_ >= 0 && owns_fd_) close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) {
        unlink(temporary_.c_str());
        forget_temporary();
        temporary_.clear();
    }
}
