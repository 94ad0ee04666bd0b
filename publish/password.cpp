#include "password.h"

#include "commandline.h"
#include "platform/core/error.h"

#include <QFile>

#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace publish {

namespace {

// Echo off on the terminal for as long as it lives.
class HiddenInput
{
public:
    HiddenInput()
    {
        m_active = ::tcgetattr(STDIN_FILENO, &m_saved) == 0;
        if (!m_active)
            return;
        termios quiet = m_saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    ~HiddenInput()
    {
        if (m_active)
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_saved);
        std::fputc('\n', stderr);
    }
    HiddenInput(const HiddenInput &) = delete;
    HiddenInput &operator=(const HiddenInput &) = delete;

private:
    termios m_saved{};
    bool m_active = false;
};

QByteArray promptPassword(const QString &path)
{
    std::fprintf(stderr, "Password for %s: ", QFile::encodeName(path).constData());
    std::fflush(stderr);
    const HiddenInput hidden;
    return commandline::readPasswordStdin();
}

} // namespace

PasswordOptions::PasswordOptions(QCommandLineParser &parser, const QString &fileHelp)
    : m_file(QStringLiteral("password-file"), fileHelp, QStringLiteral("FILE")),
      m_standardInput(QStringLiteral("password-stdin"),
                      QStringLiteral("Read the password from the first line of standard input."))
{
    parser.addOptions({m_file, m_standardInput});
}

QString PasswordOptions::given(const QCommandLineParser &parser) const
{
    for (const QCommandLineOption *option : {&m_file, &m_standardInput}) {
        if (parser.isSet(*option))
            return QStringLiteral("--") + option->names().constFirst();
    }
    return {};
}

QString PasswordOptions::misuse(const QCommandLineParser &parser) const
{
    return parser.isSet(m_file) && parser.isSet(m_standardInput)
               ? QStringLiteral("give --password-file or --password-stdin, not both")
               : QString();
}

QByteArray PasswordOptions::password(const QCommandLineParser &parser) const
{
    if (parser.isSet(m_file))
        return commandline::readPasswordFile(parser.value(m_file));
    if (parser.isSet(m_standardInput))
        return commandline::readPasswordStdin();
    return {};
}

release::SecretKey openSecretKey(const QString &path, const QByteArray &password)
{
    try {
        return release::SecretKey::fromFile(path, password);
    } catch (const platform::Error &error) {
        if (error.code() != platform::Error::Code::PasswordRequired || !password.isEmpty() || !::isatty(STDIN_FILENO))
            throw;
    }
    return release::SecretKey::fromFile(path, promptPassword(path));
}

} // namespace publish
