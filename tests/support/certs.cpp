#include "tests/support/certs.h"

#include <fstream>
#include <sstream>
#include <vector>

#include "tests/support/process.h"

namespace {

bool Run(const std::vector<std::string>& vecArgv, std::string& strError) {
    testsupport::CProcessOptions options;
    options.m_timeLimit = std::chrono::seconds(30);
    const testsupport::CProcessResult result = testsupport::RunProgram(vecArgv, options);
    if (result.m_nExitStatus != 0) {
        strError = vecArgv[0] + " " + vecArgv[1] + " failed: " + result.m_strError +
                   result.m_strStderr;
        return false;
    }
    return true;
}

}  // namespace

CTestCertificates MakeTestCertificates(const std::string& strFolder) {
    CTestCertificates certs;
    const std::string strDir = strFolder + "/";
    certs.strCa = strDir + "ca.pem";
    certs.strOtherCa = strDir + "other-ca.pem";
    certs.strServerCert = strDir + "server.pem";
    certs.strServerKey = strDir + "server.key";
    certs.strServerBoth = strDir + "server-both.pem";
    const std::string strExtensions = strDir + "server.ext";
    std::ofstream(strExtensions) << "basicConstraints=CA:FALSE\n"
                                    "keyUsage=critical,digitalSignature,keyEncipherment\n"
                                    "extendedKeyUsage=serverAuth\n"
                                    "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\n";
    auto makeCa = [&](const std::string& strName, const std::string& strCert) {
        return Run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", strCert + ".key", "-out",
                    strCert, "-days", "2", "-subj", "/CN=" + strName, "-addext",
                    "basicConstraints=critical,CA:TRUE", "-addext",
                    "keyUsage=critical,keyCertSign,cRLSign"},
                   certs.strError);
    };
    const bool bMade =
        makeCa("Tandrel test CA", certs.strCa) && makeCa("Another CA", certs.strOtherCa) &&
        Run({"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
             "-keyout", certs.strServerKey, "-out", strDir + "server.csr", "-subj", "/CN=localhost"},
            certs.strError) &&
        Run({"openssl", "x509", "-req", "-in", strDir + "server.csr", "-CA", certs.strCa, "-CAkey",
             certs.strCa + ".key", "-CAcreateserial", "-out", certs.strServerCert, "-days", "2",
             "-extfile", strExtensions},
            certs.strError);
    if (bMade) {
        std::ostringstream both;
        both << std::ifstream(certs.strServerCert).rdbuf() << std::ifstream(certs.strServerKey).rdbuf();
        std::ofstream(certs.strServerBoth) << both.str();
    }
    return certs;
}
