#pragma once
// Helpers for the tools' tests: running qm2, running quelmar-stub in the
// background, raw client connections and temporary directories. Every wait
// is bounded.

#include <sys/types.h>

#include <string>
#include <vector>

namespace tools_test {

struct run_result {
    int status = -1;  // exit status, or -1 when killed by a signal
    std::string out;
    std::string err;
};

// Runs a program with standard input from /dev/null and collects its
// output. A run that takes longer than `timeout_ms` is killed and fails
// the current test.
run_result run_program(const std::vector<std::string>& args, int timeout_ms = 60000);

// A temporary directory, removed with its content at destruction.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

std::string read_file(const std::string& path);
std::vector<std::string> read_lines(const std::string& path);

// quelmar-stub running in the background on a free loopback port.
class stub_process {
public:
    explicit stub_process(const std::vector<std::string>& extra_args = {});
    ~stub_process();
    stub_process(const stub_process&) = delete;
    stub_process& operator=(const stub_process&) = delete;

    int port() const { return port_; }
    const std::string& first_line() const { return first_line_; }
    // Sends `signal` and waits for the exit; returns the exit status (-1 if
    // it died of a signal).
    int stop(int signal);
    bool alive();
    // While it runs: the most memory the stub has held at once, in KiB
    // (VmHWM; the rusage of a spawned child also counts the parent's).
    long peak_rss_kb() const;
    // Lets the stub map at most `extra_bytes` more than it has now.
    void limit_memory(long extra_bytes);
    std::string log() const { return read_file(log_path_); }

private:
    temp_dir dir_;
    std::string log_path_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string first_line_;
};

// A plain TCP client for sending hand-made bytes.
class raw_client {
public:
    explicit raw_client(int port);
    ~raw_client();
    void send(const std::string& bytes);
    // Exactly `count` bytes, or fewer if the connection ended or
    // `timeout_ms` passed.
    std::string receive(std::size_t count, int timeout_ms = 10000);
    // True when the peer closed the connection (FIN or RST) within the time.
    bool wait_closed(int timeout_ms = 10000);
    // True when the peer reset the connection within the time.
    bool wait_reset(int timeout_ms = 10000);
    // Closes with RST instead of FIN.
    void reset();
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

// Frames for hand-made requests.
std::string frame(int type, const std::string& payload, const std::string& magic = "QUELMAR2",
                  const std::string& version = "1001");
std::string frame_with_size(int type, std::uint32_t data_size);
std::string str(const std::string& s);  // the serialized form of a string
std::string u32(std::uint32_t v);

}  // namespace tools_test
