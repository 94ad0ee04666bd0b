#pragma once

#include <QFile>
#include <QString>

#include <filesystem>
#include <string>

// File names as Qt holds them and as the OS spells them: the bytes of a name
// are Qt's file name encoding of its text, both ways.
namespace platform::paths {

inline std::filesystem::path toPath(const QString &path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

inline QString toQString(const std::filesystem::path &path)
{
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

// ".NAME<suffix>" in the folder of `target`: a file of the program's own,
// hidden from an ordinary listing, beside the file it stands for.
inline std::filesystem::path hiddenBeside(const std::filesystem::path &target, const QString &suffix)
{
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict for
    // the same name built with operator+.
    std::string name(1, '.');
    name.append(target.filename().native()).append(QFile::encodeName(suffix).toStdString());
    return target.parent_path() / name;
}

} // namespace platform::paths
