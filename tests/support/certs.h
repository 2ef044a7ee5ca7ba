#pragma once

#include <string>

// Certificates for the TLS tests, made with the openssl program: a CA of the
// test's own, a server certificate it signed for localhost, 127.0.0.1 and
// ::1, and a second CA that signed nothing the servers use.
struct CTestCertificates {
    std::string strCa;           // the CA certificate (PEM)
    std::string strOtherCa;      // a CA that the server's certificate does not lead to
    std::string strServerCert;   // the server's certificate (PEM)
    std::string strServerKey;    // its private key (PEM)
    std::string strServerBoth;   // certificate and key in one file, as vsftpd takes them
    std::string strError;        // why they could not be made; empty when they were
};

// Makes them in strFolder (which must exist).
CTestCertificates MakeTestCertificates(const std::string& strFolder);
