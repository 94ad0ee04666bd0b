#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// Converts between text and the bytes of one code page through iconv.
class CodePage
{
public:
    explicit CodePage(QByteArray name);

    const QByteArray &name() const { return m_name; }

    // Bytes that the code page cannot map become U+FFFD.
    QString decode(const QByteArray &bytes) const;
    // Characters that the code page cannot map become '?'.
    QByteArray encode(const QString &text) const;

    // The code page that the deployment was built for.
    static const CodePage &deployment();

private:
    QByteArray m_name;
    // Whether the code page keeps printable ASCII as it is, as most do: such
    // text then needs no conversion, which costs more than a URL's encoding.
    bool m_keepsPlainText = false;
};

} // namespace platform
