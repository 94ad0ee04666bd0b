#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace publish {

// The keys that sign requests to a store; never taken from the command line,
// where other users of the machine would see them.
struct S3Credentials
{
    QByteArray accessKey;
    QByteArray secretKey;
    QByteArray sessionToken; // temporary credentials only
};

// From AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY (with AWS_SESSION_TOKEN),
// else from the profile AWS_PROFILE (or "default") of the credentials file
// AWS_SHARED_CREDENTIALS_FILE (or ~/.aws/credentials). InvalidArgument, in
// English, when neither holds a pair.
S3Credentials s3Credentials();

// The pair of one profile in the text of an AWS-style credentials file
// ("[profile]" sections of "name = value" lines); none when it has none.
std::optional<S3Credentials> credentialsInFile(const QByteArray &text, const QByteArray &profile);

} // namespace publish
