// Starts a test's client program as a process of its own (under
// $ZAR_EMULATOR when that is set, as every i386 program here must run) with
// ZAR_MACHINE naming the host's folder, and reads its output line by line.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace hosttest {

class Child {
public:
    // 'withErrors': its standard error comes in the same lines.
    Child(const std::string& program, const std::vector<std::string>& args, const std::string& machineFolder,
          bool withErrors = false)
    {
        std::vector<std::string> argv;
        const char* emulator = std::getenv("ZAR_EMULATOR");
        if (emulator && *emulator) argv.push_back(emulator);
        argv.push_back(program);
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (auto& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("ZAR_MACHINE=", 0) != 0) env.push_back(*e);
        env.push_back("ZAR_MACHINE=" + machineFolder);
        std::vector<char*> cenv;
        for (auto& e : env) cenv.push_back(e.data());
        cenv.push_back(nullptr);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (withErrors) posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        if (::posix_spawn(&pid_, cargv[0], &actions, nullptr, cargv.data(), cenv.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        fd_ = out[0];
    }
    ~Child()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) ::close(fd_);
    }
    bool Started() const { return pid_ > 0; }

    // The next line of output ("" when none came within the time).
    std::string Line(int timeoutMs = 60000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                 std::chrono::steady_clock::now())
                               .count());
            if (left <= 0) return "";
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0) continue;
            char chunk[256];
            ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0) return "";
            buffer_.append(chunk, size_t(n));
        }
    }

    // The exit status (-1 when it did not end within the time).
    int Wait(int timeoutMs = 60000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            int status;
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ::usleep(10000);
        }
        return -1;
    }

    void Kill() { ::kill(pid_, SIGKILL); }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string buffer_;
};

// Polls 'condition' until it holds or the time is up; its last answer.
template <typename Condition>
bool Eventually(Condition condition, int timeoutMs = 60000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

}  // namespace hosttest
