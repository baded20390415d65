#include "helpers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

const std::string LINTRACE = LINTRACE_PATH;
const std::string LINPAINT = LINPAINT_PATH;
const std::string DATA_DIR = DATA_DIRECTORY;

std::vector<unsigned char*> TestImage::row_pointers()
{
    std::vector<unsigned char*> rows_of(rows);
    for (int r = 0; r < rows; ++r) rows_of[r] = pixels.data() + static_cast<size_t>(r) * columns;
    return rows_of;
}

TestImage blank_image(int columns, int rows, unsigned char value)
{
    TestImage image;
    image.columns = columns;
    image.rows = rows;
    image.pixels.assign(static_cast<size_t>(columns) * rows, value);
    return image;
}

TestImage random_image(int columns, int rows, std::mt19937& random)
{
    TestImage image = blank_image(columns, rows);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    struct Blob {
        double x, y, radius, level;
    };
    std::vector<Blob> blobs(3 + random() % 6);
    for (Blob& b : blobs)
        b = {unit(random) * columns, unit(random) * rows, 2 + unit(random) * (columns + rows) / 4, unit(random) * 255};
    const double noise = unit(random) * 30;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            double v = 40;
            for (const Blob& b : blobs)
                if ((c - b.x) * (c - b.x) + (r - b.y) * (r - b.y) < b.radius * b.radius) v = b.level;
            v += (unit(random) - 0.5) * noise;
            image.at(c, r) = static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v);
        }
    }
    return image;
}

TestImage photograph(const std::string& name)
{
    std::string bytes = read_file(DATA_DIR + "/" + name);
    std::istringstream header(bytes);
    std::string magic;
    TestImage image;
    int max_value = 0;
    header >> magic >> image.columns >> image.rows >> max_value;
    const size_t start = static_cast<size_t>(header.tellg()) + 1;
    image.pixels.assign(bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end());
    if (magic != "P5" || image.pixels.size() != static_cast<size_t>(image.columns) * image.rows)
        throw std::runtime_error("bad sample photograph " + name);
    return image;
}

TestImage crop(const TestImage& image, int columns, int rows, int left, int top)
{
    TestImage part = blank_image(columns, rows);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c)
            part.at(c, r) = image.pixels[static_cast<size_t>(r + top) * image.columns + c + left];
    return part;
}

int mask_of(double sigma)
{
    int mask = 0;
    if (!mask_for_sigma(sigma, &mask)) throw std::runtime_error("sigma refused");
    return mask;
}

std::string detect(const TestImage& image, double sigma, float low, float high, bool sub_pixel, int threads,
                   int lanes)
{
    const lintrace::Settings settings{sigma, static_cast<double>(low), static_cast<double>(high), sub_pixel, threads};
    return lintrace::detail::trace(lintrace::ImageView::grey8(image.pixels.data(), image.columns, image.rows), settings,
                                   small_pieces(lanes))
        .list_text();
}

std::string first_difference(const std::string& got, const std::string& expected)
{
    if (got == expected) return "";
    size_t at = 0;
    size_t line = 1;
    while (at < got.size() && at < expected.size() && got[at] == expected[at]) {
        if (got[at] == '\n') ++line;
        ++at;
    }
    const auto line_at = [at](const std::string& text) {
        const size_t start = text.rfind('\n', at == 0 ? 0 : at - 1);
        const size_t from = start == std::string::npos || at == 0 ? 0 : start + 1;
        const size_t end = text.find('\n', from);
        return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
    };
    return "line " + std::to_string(line) + ": got \"" + line_at(got) + "\", expected \"" + line_at(expected) +
           "\" (" + std::to_string(got.size()) + " and " + std::to_string(expected.size()) + " bytes)";
}

void gradient_images(const TestImage& image, double sigma, std::vector<double>* dx, std::vector<double>* dy,
                     std::vector<double>* magnitude, int lanes)
{
    TestImage copy = image;
    std::vector<unsigned char*> rows = copy.row_pointers();
    const GaussianKernel kernel = gaussian_vectors(mask_of(sigma), sigma, std::max(image.columns, image.rows));
    GradientRows window;
    gradient_rows_init(&window, GreyRows{rows.data(), nullptr}, image.columns, image.rows, &kernel,
                       vector_kernels(lanes));
    const size_t n = static_cast<size_t>(image.columns) * image.rows;
    dx->assign(n, 0.0);
    dy->assign(n, 0.0);
    magnitude->assign(n, 0.0);
    for (int r = 0; r < image.rows; ++r) {
        const size_t at = static_cast<size_t>(r) * image.columns;
        gradient_row(&window, r, dx->data() + at, dy->data() + at, magnitude->data() + at);
    }
}

namespace {

void drain(int out_fd, int err_fd, int in_fd, const std::string& input, ProgramRun* run)
{
    size_t fed = 0;
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    char buffer[65536];
    while (out_fd >= 0 || err_fd >= 0) {
        pollfd fds[3];
        int count = 0;
        if (out_fd >= 0) fds[count++] = {out_fd, POLLIN, 0};
        if (err_fd >= 0) fds[count++] = {err_fd, POLLIN, 0};
        if (in_fd >= 0) fds[count++] = {in_fd, POLLOUT, 0};
        if (poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int k = 0; k < count; ++k) {
            if (fds[k].revents == 0) continue;
            if (fds[k].fd == in_fd) {
                ssize_t wrote = write(in_fd, input.data() + fed, std::min<size_t>(input.size() - fed, 65536));
                if (wrote > 0) fed += static_cast<size_t>(wrote);
                if (wrote < 0 || fed == input.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            ssize_t got = read(fds[k].fd, buffer, sizeof buffer);
            if (got <= 0) {
                close(fds[k].fd);
                (fds[k].fd == out_fd ? out_fd : err_fd) = -1;
            } else {
                (fds[k].fd == out_fd ? run->out : run->err).append(buffer, static_cast<size_t>(got));
            }
        }
    }
    if (in_fd >= 0) close(in_fd);
}

}  // namespace

ProgramRun run_program(const std::vector<std::string>& argv, const std::string& input)
{
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe");
    signal(SIGPIPE, SIG_IGN);
    pid_t child = fork();
    if (child == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    ProgramRun run;
    drain(out_pipe[0], err_pipe[0], in_pipe[1], input, &run);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    run.peak_kilobytes = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void write_file_bytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

bool file_exists(const std::string& path)
{
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

namespace {

// Scratch directories are removed when the test program ends (not when a
// death test's child, which shares them, exits).
std::vector<std::string>& scratch_directories()
{
    static std::vector<std::string> directories;
    static const pid_t owner = getpid();
    static const bool cleanup_registered = [] {
        std::atexit([] {
            if (getpid() != owner) return;
            std::error_code ignored;
            for (const std::string& d : scratch_directories()) std::filesystem::remove_all(d, ignored);
        });
        return true;
    }();
    (void)cleanup_registered;
    return directories;
}

}  // namespace

std::string scratch_directory()
{
    std::string pattern =
        (std::getenv("TMPDIR") ? std::string(std::getenv("TMPDIR")) : std::string("/tmp")) + "/lintrace-test.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp");
    scratch_directories().push_back(name.data());
    return name.data();
}

std::string pgm_bytes(const TestImage& image, const std::string& comment)
{
    std::string bytes = "P5\n";
    if (!comment.empty()) bytes += "# " + comment + "\n";
    bytes += std::to_string(image.columns) + " " + std::to_string(image.rows) + "\n255\n";
    bytes.append(image.pixels.begin(), image.pixels.end());
    return bytes;
}
