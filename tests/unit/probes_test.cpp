#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "kestrel/probes.h"
#include "norva_core/host_util.h"
#include "temp_dir.h"

namespace {

// Puts a folder with the given scripts first on PATH for the life of the value.
class FakeTools {
  public:
    FakeTools() : saved_path_(getenv("PATH")) {
        setenv("PATH", (dir_.path().string() + ":" + saved_path_).c_str(), 1);
    }
    ~FakeTools() { setenv("PATH", saved_path_.c_str(), 1); }
    void add(const std::string& name, const std::string& script) {
        norva_test::write_file(dir_ / name, "#!/bin/sh\n" + script + "\n");
        std::filesystem::permissions(dir_ / name, std::filesystem::perms::owner_all);
    }

  private:
    norva_test::TempDir dir_;
    std::string saved_path_;
};

// A TCP listener on the given address family and address; port 0 picks one.
class Listener {
  public:
    Listener(int family, const std::string& address) {
        fd_ = socket(family, SOCK_STREAM, 0);
        int yes = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (family == AF_INET) {
            sockaddr_in bound{};
            bound.sin_family = AF_INET;
            inet_pton(AF_INET, address.c_str(), &bound.sin_addr);
            bind(fd_, reinterpret_cast<sockaddr*>(&bound), sizeof bound);
            socklen_t length = sizeof bound;
            listen(fd_, 4);
            getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
            port_ = ntohs(bound.sin_port);
        } else {
            sockaddr_in6 bound{};
            bound.sin6_family = AF_INET6;
            inet_pton(AF_INET6, address.c_str(), &bound.sin6_addr);
            int v6only = 1;
            setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
            bind(fd_, reinterpret_cast<sockaddr*>(&bound), sizeof bound);
            socklen_t length = sizeof bound;
            listen(fd_, 4);
            getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
            port_ = ntohs(bound.sin6_port);
        }
    }
    ~Listener() { close(fd_); }
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace

TEST(MemoryProbe, ReadsMemTotalAndRoundsHalvesToEven) {
    auto total =
        norva_core::host_util::meminfo_total_bytes("MemFree: 1 kB\nMemTotal:       16303548 kB\n");
    EXPECT_EQ(kestrel::_gib_text(static_cast<double>(*total)), "16Gi");
    EXPECT_EQ(kestrel::_gib_text(2.5 * 1073741824.0), "2Gi");
    EXPECT_EQ(kestrel::_gib_text(3.5 * 1073741824.0), "4Gi");
    EXPECT_EQ(kestrel::_gib_text(0.4 * 1073741824.0), "0Gi");
}

TEST(MemoryProbe, MissingOrBrokenMemTotalIsUnknown) {
    norva_test::TempDir dir;
    norva_test::write_file(dir / "no-total", "MemFree: 100 kB\n");
    norva_test::write_file(dir / "bad-number", "MemTotal: lots kB\n");
    norva_test::write_file(dir / "good", "MemTotal: 2097152 kB\n");
    EXPECT_EQ(kestrel::_memory_gib_for("Linux", dir / "no-total"), "unknown");
    EXPECT_EQ(kestrel::_memory_gib_for("Linux", dir / "bad-number"), "unknown");
    EXPECT_EQ(kestrel::_memory_gib_for("Linux", dir / "missing"), "unknown");
    EXPECT_EQ(kestrel::_memory_gib_for("Linux", dir / "good"), "2Gi");
    EXPECT_EQ(kestrel::_memory_gib_for("FreeBSD", dir / "good"), "unknown");
}

TEST(MemoryProbe, DarwinAsksSysctl) {
    FakeTools tools;
    tools.add("sysctl", "[ \"$*\" = \"-n hw.memsize\" ] && echo ' 17179869184 '");
    EXPECT_EQ(kestrel::_memory_gib_for("Darwin", "/nonexistent"), "16Gi");
    tools.add("sysctl", "exit 1");
    EXPECT_EQ(kestrel::_memory_gib_for("Darwin", "/nonexistent"), "unknown");
}

TEST(GpuProbe, FirstNonEmptyLineOfNvidiaSmi) {
    EXPECT_EQ(kestrel::_first_gpu_name("\n\n  NVIDIA A100  \nNVIDIA T4\n"), "NVIDIA A100");
    EXPECT_EQ(kestrel::_first_gpu_name(" \n \n"), std::nullopt);
}

TEST(GpuProbe, FailingOrMissingToolGivesNoGpu) {
    FakeTools tools;
    tools.add("nvidia-smi", "echo 'NVIDIA A100'; exit 9");
    EXPECT_EQ(kestrel::_get_gpu_name(), std::nullopt);
    tools.add("nvidia-smi",
              "[ \"$*\" = \"--query-gpu=name --format=csv,noheader\" ] && echo 'NVIDIA L4'");
    EXPECT_EQ(kestrel::_get_gpu_name(), "NVIDIA L4");
    auto info = kestrel::_get_hardware_info();
    EXPECT_EQ(info["cluster"].back(), "NVIDIA L4");
}

TEST(HardwareInfo, KeysInOrderAndNoGpuKeyWithoutAGpu) {
    FakeTools tools;
    tools.add("nvidia-smi", "exit 127");
    auto info = kestrel::_get_hardware_info();
    ASSERT_EQ(info.size(), 1u);
    std::vector<std::string> keys;
    for (const auto& [key, value] : info["cluster"].items()) {
        keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"cpu", "memory", "workers", "sims"}));
    EXPECT_EQ(info["cluster"]["cpu"], std::to_string(std::thread::hardware_concurrency()));
    EXPECT_TRUE(info["cluster"]["workers"].empty());
}

TEST(DockerProbe, FalseWhenTheEngineDoesNotAnswer) {
    FakeTools tools;
    tools.add("docker", "echo 'Cannot connect to the Docker daemon'; exit 1");
    EXPECT_FALSE(kestrel::_check_docker_daemon());
    tools.add("docker", "[ \"$1\" = info ]");
    EXPECT_TRUE(kestrel::_check_docker_daemon());
}

TEST(PortProbe, OnlyIpv4LoopbackListenersCount) {
    Listener loopback(AF_INET, "127.0.0.1");
    Listener any(AF_INET, "0.0.0.0");
    Listener v6_only(AF_INET6, "::1");
    EXPECT_TRUE(kestrel::_is_port_in_use(loopback.port()));
    EXPECT_TRUE(kestrel::_is_port_in_use(any.port()));
    EXPECT_FALSE(kestrel::_is_port_in_use(v6_only.port()));
}
