#pragma once

#include "testserver.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

// A certificate authority made for the tests with the openssl command, and
// server certificates for 127.0.0.1: one it signed, one it signed for
// another name, one signed by nobody it knows.
class TestCertificates
{
public:
    TestCertificates()
    {
        run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
             "-subj", "/CN=Updater Test CA", "-keyout", "ca.key", "-out", "ca.pem"});
        signedBy("ca", "server", "IP:127.0.0.1");
        signedBy("ca", "wrongname", "DNS:elsewhere.invalid");
        run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
             "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", "selfsigned.key",
             "-out", "selfsigned.pem"});
    }

    bool ok() const { return m_ok; }
    QByteArray authority() const { return read("ca.pem"); }
    // "server", "wrongname" or "selfsigned".
    TestServer::Tls server(const QString &name) const
    {
        return {read(name + QStringLiteral(".pem")), read(name + QStringLiteral(".key"))};
    }

private:
    void signedBy(const QString &ca, const QString &name, const QString &altName)
    {
        run({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=" + name,
             "-addext", "subjectAltName=" + altName, "-keyout", name + ".key", "-out", name + ".csr"});
        run({"x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key", "-CAcreateserial",
             "-copy_extensions", "copyall", "-days", "2", "-out", name + ".pem"});
    }

    void run(const QStringList &args)
    {
        QProcess openssl;
        openssl.setWorkingDirectory(m_dir.path());
        openssl.start(QStringLiteral("openssl"), args);
        m_ok = m_ok && openssl.waitForFinished(30000) && openssl.exitStatus() == QProcess::NormalExit
               && openssl.exitCode() == 0;
    }

    QByteArray read(const QString &name) const
    {
        QFile file(m_dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir m_dir;
    bool m_ok = true;
};
