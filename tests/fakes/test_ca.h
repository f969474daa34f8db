#pragma once

#include <string>

#include "temp_dir.h"

namespace norva_test {

// A certificate authority made for the tests, and a server certificate it signed for
// 127.0.0.1 and localhost.
class TestCa {
  public:
    TestCa();

    std::string ca_file() const { return dir_ / "ca.pem"; }
    std::string server_cert() const { return dir_ / "server.pem"; }
    std::string server_key() const { return dir_ / "server.key"; }

  private:
    TempDir dir_;
};

}  // namespace norva_test
