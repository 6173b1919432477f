#include "process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

extern char** environ;

namespace tools_test {
namespace {

using clock_type = std::chrono::steady_clock;

int remaining_ms(clock_type::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Starts `args` with stdin from /dev/null and stdout/stderr to the given
// descriptors.
pid_t spawn(const std::vector<std::string>& args, int out_fd, int err_fd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
    return pid;
}

int exit_status(int wait_status) {
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

// Waits for `pid` up to `timeout_ms`; kills it after that. Returns the
// wait status, and sets `killed`.
int wait_for(pid_t pid, int timeout_ms, bool& killed) {
    killed = false;
    int status = 0;
    // A pidfd becomes readable when the child exits.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeout_ms);
        ::close(pidfd);
        if (ready <= 0) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
    }
    ::waitpid(pid, &status, 0);
    return status;
}

}  // namespace

run_result run_program(const std::vector<std::string>& args, int timeout_ms) {
    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t pid = spawn(args, out_pipe[1], err_pipe[1]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);

    run_result r;
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open = 2;
    while (open > 0 && remaining_ms(deadline) > 0) {
        if (::poll(fds, 2, remaining_ms(deadline)) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) ::close(f.fd);
    bool killed = false;
    const int status = wait_for(pid, remaining_ms(deadline) + 100, killed);
    if (killed || open > 0) ADD_FAILURE() << args[0] << " did not finish in " << timeout_ms << " ms";
    r.status = exit_status(status);
    return r;
}

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quel-tools-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string temp_dir::write(const std::string& name, const std::string& content) const {
    const std::string path = file(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

stub_process::stub_process(const std::vector<std::string>& extra_args) {
    log_path_ = dir_.file("stub.log");
    int out_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const int log_fd = ::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::vector<std::string> args = {STUB_PATH};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    pid_ = spawn(args, out_pipe[1], log_fd);
    ::close(out_pipe[1]);
    ::close(log_fd);

    // The first line names the port; nothing else comes on standard output.
    const auto deadline = clock_type::now() + std::chrono::seconds(30);
    pollfd p{out_pipe[0], POLLIN, 0};
    while (first_line_.find('\n') == std::string::npos && remaining_ms(deadline) > 0) {
        if (::poll(&p, 1, remaining_ms(deadline)) <= 0) continue;
        char c;
        if (::read(out_pipe[0], &c, 1) != 1) break;
        first_line_ += c;
    }
    ::close(out_pipe[0]);
    if (!first_line_.empty() && first_line_.back() == '\n') first_line_.pop_back();
    const auto colon = first_line_.rfind(':');
    if (colon != std::string::npos) port_ = std::atoi(first_line_.c_str() + colon + 1);
    if (port_ == 0) {
        stop(SIGKILL);
        throw std::runtime_error("quelmar-stub did not start: " + log());
    }
}

stub_process::~stub_process() {
    if (pid_ > 0) stop(SIGKILL);
}

int stub_process::stop(int signal) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    bool killed = false;
    const int status = wait_for(pid_, 30000, killed);
    pid_ = -1;
    if (killed) ADD_FAILURE() << "quelmar-stub did not stop";
    return exit_status(status);
}

long stub_process::peak_rss_kb() const {
    std::istringstream status(read_file("/proc/" + std::to_string(pid_) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

void stub_process::limit_memory(long extra_bytes) {
    std::istringstream status(read_file("/proc/" + std::to_string(pid_) + "/status"));
    long size_kb = 0;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0) size_kb = std::atol(line.c_str() + 7);
    const rlim_t bytes = static_cast<rlim_t>(size_kb) * 1024 + static_cast<rlim_t>(extra_bytes);
    const rlimit limit{bytes, bytes};
    if (size_kb == 0 || ::prlimit(pid_, RLIMIT_AS, &limit, nullptr) != 0)
        throw std::runtime_error("cannot limit the stub's memory");
}

bool stub_process::alive() {
    int status = 0;
    return pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0;
}

raw_client::raw_client(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("connect failed");
}

raw_client::~raw_client() {
    if (fd_ >= 0) ::close(fd_);
}

void raw_client::send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;  // the stub closed; the test looks at that
        done += static_cast<std::size_t>(n);
    }
}

std::string raw_client::receive(std::size_t count, int timeout_ms) {
    std::string out;
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    pollfd p{fd_, POLLIN, 0};
    while (out.size() < count && remaining_ms(deadline) > 0) {
        if (::poll(&p, 1, remaining_ms(deadline)) <= 0) continue;
        char buffer[4096];
        const std::size_t want = std::min(sizeof buffer, count - out.size());
        const ssize_t n = ::recv(fd_, buffer, want, 0);
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

bool raw_client::wait_closed(int timeout_ms) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    pollfd p{fd_, POLLIN, 0};
    while (remaining_ms(deadline) > 0) {
        if (::poll(&p, 1, remaining_ms(deadline)) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
    }
    return false;
}

bool raw_client::wait_reset(int timeout_ms) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    pollfd p{fd_, POLLIN, 0};
    while (remaining_ms(deadline) > 0) {
        if (::poll(&p, 1, remaining_ms(deadline)) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n == 0) return false;
        if (n < 0 && errno == ECONNRESET) return true;
    }
    return false;
}

void raw_client::reset() {
    const linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd_);
    fd_ = -1;
}

std::string u32(std::uint32_t v) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

std::string str(const std::string& s) { return u32(static_cast<std::uint32_t>(s.size())) + s; }

std::string frame_with_size(int type, std::uint32_t data_size) {
    std::string h = "QUELMAR2";
    h += "1001";
    h += std::string(8, '\0');
    h += static_cast<char>(type);
    h += std::string(3, '\0');
    h += u32(data_size);
    h += std::string(4, '\0');
    return h;
}

std::string frame(int type, const std::string& payload, const std::string& magic,
                  const std::string& version) {
    std::string f = frame_with_size(type, static_cast<std::uint32_t>(payload.size()));
    f.replace(0, 8, magic);
    f.replace(8, 4, version);
    return f + payload;
}

}  // namespace tools_test
