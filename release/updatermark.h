#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <optional>
#include <string_view>

// What the updater's build puts into the program, so that the publisher can
// tell from its bytes, without running it, that a file is this project's
// updater, of which version, and which publisher keys it trusts. The mark is
// a block of `blockSize` bytes: "<prefix>version=<version>;keys=<keys>;",
// then zero bytes; <keys> is UPDATER_PUBLIC_KEY's text, empty for an
// unsigned build.
namespace release::updatermark {

inline constexpr std::string_view prefix{"\x7fupdater-build-mark/1 "};
inline constexpr std::size_t blockSize = 1024;

// The block for a build; a mark too long for it does not compile.
constexpr std::array<char, blockSize> block(std::string_view version, std::string_view keys)
{
    std::array<char, blockSize> bytes{};
    std::size_t at = 0;
    for (const std::string_view piece : {prefix, std::string_view("version="), version, std::string_view(";keys="),
                                         keys, std::string_view(";")}) {
        for (const char c : piece)
            bytes.at(at++) = c;
    }
    return bytes;
}

struct Mark
{
    QByteArray version;
    QByteArray keys; // empty: an unsigned build
};

// The first whole mark in a program's bytes, if it carries one.
std::optional<Mark> find(QByteArrayView program);

} // namespace release::updatermark
