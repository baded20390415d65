"""Files written the way the programs write their outputs: the new content
goes to a temporary beside the target, which replaces the target only when
complete, so a failed write leaves the file that was there. A target that is
not a regular file (a device, a pipe) is written directly; a symbolic link
is followed. The temporary is made with the mode a new file gets in its
directory (the umask applies); a replaced file keeps its permission bits
(never a set-user-ID or set-group-ID bit) and, where the process may, its
owner and group.

Done here rather than with the programs' own output file, which installs
signal handlers of its own: the interpreter's handlers (KeyboardInterrupt)
stay as they are."""
import errno
import os
import secrets
import stat


def _named(error, path):
    """The same failure, naming the file asked for rather than a temporary."""
    return type(error)(error.errno, error.strerror, path)


def replace(path, write_all):
    """Calls write_all(write) with a function that takes the bytes of the
    new content in order, and puts them in place of the file at `path`."""
    name = os.fsdecode(path)
    target = os.path.realpath(name)
    try:
        existing = os.stat(target)
    except FileNotFoundError:
        existing = None
    except OSError as error:
        raise _named(error, path) from None
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        try:
            with open(target, "wb") as out:
                write_all(out.write)
        except OSError as error:
            raise _named(error, path) from None
        return
    directory, base = os.path.split(target)
    temporary = None
    try:
        while temporary is None:
            candidate = os.path.join(directory, ".%s.%s.tmp" % (base, secrets.token_hex(6)))
            try:
                fd = os.open(candidate, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            except FileExistsError:
                continue
            temporary = candidate
        with os.fdopen(fd, "wb") as out:
            write_all(out.write)
            out.flush()
            os.fsync(out.fileno())
        if existing is not None:
            os.chmod(temporary, stat.S_IMODE(existing.st_mode) & ~(stat.S_ISUID | stat.S_ISGID))
            try:
                os.chown(temporary, existing.st_uid, existing.st_gid)
            except PermissionError:
                pass
        os.replace(temporary, target)
        temporary = None
    except OSError as error:
        if error.errno == errno.EEXIST:
            raise
        raise _named(error, path) from None
    finally:
        if temporary is not None:
            try:
                os.unlink(temporary)
            except OSError:
                pass
