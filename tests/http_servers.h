// Web servers on 127.0.0.1 for the download tests: nginx from the system with a configuration of
// its own (real Range support), and the fault-injecting server in tests/download_fault_server.py.
// Each is stopped (and waited for) when its object goes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace lumo_test {

inline bool port_answers(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return ok;
}

inline int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

// A child process stopped with SIGTERM (then SIGKILL) and reaped when the object goes.
class ServerProcess {
public:
    ~ServerProcess() { stop(); }
    // Starts argv; with port_from_stdout the first line the child prints is its port.
    bool start(const std::vector<std::string>& argv, bool port_from_stdout) {
        int pipe_fds[2];
        if (pipe(pipe_fds) != 0) return false;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(pipe_fds[1], STDOUT_FILENO);
            close(pipe_fds[0]);
            close(pipe_fds[1]);
            std::vector<char*> args;
            for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(pipe_fds[1]);
        if (port_from_stdout) {
            std::string line;
            char c;
            while (line.size() < 16 && read(pipe_fds[0], &c, 1) == 1 && c != '\n') line += c;
            m_port = atoi(line.c_str());
        }
        close(pipe_fds[0]);
        return m_pid > 0;
    }
    // Waits up to five seconds for the port to take connections.
    bool ready() const {
        for (int i = 0; i < 100 && m_port > 0; ++i) {
            if (port_answers(m_port)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    void stop() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        for (int i = 0; i < 100 && waitpid(m_pid, nullptr, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (kill(m_pid, 0) == 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }
    int m_port = -1;

private:
    pid_t m_pid = -1;
};

// nginx serving dir() + "/www"; its access log lists "uri status body-bytes" per request.
class Nginx {
    static std::string replace(std::string text, const std::string& from, const std::string& to) {
        for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
        return text;
    }

public:
    static bool available() { return access("/usr/sbin/nginx", X_OK) == 0; }
    bool start() {
        std::filesystem::create_directories(m_dir.file("www"));
        chmod(m_dir.path().c_str(), 0755);
        m_process.m_port = free_port();
        std::string conf = R"(USER daemon off; worker_processes 1; pid D/nginx.pid; error_log D/error.log;
events { worker_connections 64; }
http { default_type application/octet-stream; sendfile on; log_format sizes '$uri $status $body_bytes_sent';
  access_log D/access.log sizes; client_body_temp_path D/body; proxy_temp_path D/proxy;
  fastcgi_temp_path D/fcgi; uwsgi_temp_path D/uwsgi; scgi_temp_path D/scgi;
  server { listen 127.0.0.1:PORT; root D/www; } })";
        conf = replace(replace(replace(conf, "USER", geteuid() == 0 ? "user root;" : ""), "D/", m_dir.path() + "/"),
                       "PORT", std::to_string(m_process.m_port));
        write_file_text(m_dir.file("nginx.conf"), conf);
        return m_process.start({"/usr/sbin/nginx", "-p", m_dir.path(), "-c", m_dir.file("nginx.conf"), "-e",
                                m_dir.file("error.log")},
                               false) &&
               m_process.ready();
    }
    std::string url(const std::string& name) const {
        return "http://127.0.0.1:" + std::to_string(m_process.m_port) + "/" + name;
    }
    std::string www(const std::string& name) const { return m_dir.file("www/" + name); }
    // nginx writes its log as requests end; give it a moment.
    std::string access_log() const {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return read_file(m_dir.file("access.log"));
    }

private:
    TempDir m_dir;
    ServerProcess m_process;
};

class FaultServer {
public:
    bool start() {
        return m_process.start({"/usr/bin/env", "python3", source_dir() + "/tests/download_fault_server.py"}, true) &&
               m_process.ready();
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_process.m_port) + path; }

private:
    ServerProcess m_process;
};

// The bytes the fault server sends for a file of that size.
inline std::string fault_body(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + 3) % 251);
    return data;
}

}  // namespace lumo_test
