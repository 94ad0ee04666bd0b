#pragma once

#include "apppaths.h"
#include "filedigest.h"
#include "filedownload.h"

#include "platform/files/filedescriptor.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <cstdint>

namespace release {
class ReleaseIndex;
}

namespace update {

// Which form of a listed file a run downloaded, and what that saved against
// downloading the file whole.
struct FormTaken
{
    enum class Form { Plain, Compressed, Patch };

    QString fileName; // in the application folder
    Form form = Form::Plain;
    std::int64_t fileSize = 0;   // of the file as installed
    std::int64_t downloaded = 0; // for it in all, smaller forms that failed included

    std::int64_t bytesSaved() const { return fileSize - downloaded; }
};

// The smaller forms of the listed files that a signed index offers: a patch
// from the installed file, else the file compressed. Each is downloaded
// through the engine, checked against its own digest, and the file rebuilt
// from it is checked against the file's digest; whatever fails on the way
// leaves the next form to try, never an unverified byte.
class SmallForms
{
public:
    SmallForms(const release::ReleaseIndex &index, FileDownload &downloads, AppPaths paths, QString baseUrl);

    // Rebuilds the file whose SHA-256 is `digest` at `staged` in the working
    // folder from the smallest form that works, the file installed at
    // `installedPath`, as hashed, serving as a patch's older file if it is
    // the updater's own. Plain (nothing at `staged`) when no smaller form is
    // offered or none works.
    FormTaken fetch(const QByteArray &digest, const HashedFile &installed, const QString &installedPath,
                    const QString &staged);

private:
    // Whether the form at `formPath` rebuilt the file at `staged`.
    bool tryForm(const QByteArray &formPath, const QByteArray &digest, const platform::FileDescriptor &source,
                 const QString &installed, const QString &staged, FormTaken &taken);

    const release::ReleaseIndex &m_index;
    FileDownload &m_downloads;
    AppPaths m_paths;
    QString m_baseUrl;
    // The digests of the files that some offered patch rebuilds.
    QSet<QByteArray> m_patched;
};

} // namespace update
