#pragma once

#include "release/minisignkey.h"

#include <QByteArray>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

namespace publish {

// Where a command takes a secret key's password from: the first line of a
// file (--password-file FILE) or of standard input (--password-stdin).
class PasswordOptions
{
public:
    PasswordOptions(QCommandLineParser &parser, const QString &fileHelp);

    // The option that gives the password ("--password-file"); empty for none.
    QString given(const QCommandLineParser &parser) const;
    // Why the options cannot be used as given; empty when they can.
    QString misuse(const QCommandLineParser &parser) const;
    // The password given; empty when none is.
    QByteArray password(const QCommandLineParser &parser) const;

private:
    QCommandLineOption m_file;
    QCommandLineOption m_standardInput;
};

// The secret key at `path`, decrypted with `password` when one was given.
// An encrypted key without one is asked for on the terminal, echo off, when
// standard input is a terminal; otherwise it is refused (PasswordRequired),
// so a script never hangs on a prompt.
release::SecretKey openSecretKey(const QString &path, const QByteArray &password);

} // namespace publish
