#include "test_ca.h"

#include <stdexcept>

#include "norva_core/process.h"

namespace norva_test {
namespace {

void openssl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto result = norva_core::process::run(argv);
    if (result.exit_code != 0) {
        throw std::runtime_error("openssl failed: " + result.err);
    }
}

}  // namespace

TestCa::TestCa() {
    const std::vector<std::string> ec_key{"-newkey", "ec", "-pkeyopt",
                                          "ec_paramgen_curve:prime256v1", "-nodes"};
    std::vector<std::string> ca{
        "req",           "-x509", "-days",        "2", "-subj", "/CN=norva test CA", "-keyout",
        dir_ / "ca.key", "-out",  dir_ / "ca.pem"};
    ca.insert(ca.begin() + 2, ec_key.begin(), ec_key.end());
    openssl(ca);

    std::vector<std::string> request{"req",
                                     "-subj",
                                     "/CN=localhost",
                                     "-keyout",
                                     dir_ / "server.key",
                                     "-out",
                                     dir_ / "server.csr"};
    request.insert(request.begin() + 1, ec_key.begin(), ec_key.end());
    openssl(request);

    write_file(dir_ / "server.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
    openssl({"x509", "-req", "-days", "2", "-in", dir_ / "server.csr", "-CA", dir_ / "ca.pem",
             "-CAkey", dir_ / "ca.key", "-CAcreateserial", "-extfile", dir_ / "server.ext", "-out",
             dir_ / "server.pem"});
}

}  // namespace norva_test
