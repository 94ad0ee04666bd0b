#pragma once

#include "platform/core/error.h"

#include <QString>

namespace update {

// What the user reads of an error: the sentence of its code (what happened
// and, where there is something to do, what to do), then its detail
// unless the network gave it (the run's log keeps that), then "：" and
// what it names.
QString describe(const platform::Error &error);

// What happened, in a few words: the start of the error's sentence.
QString whatHappened(const platform::Error &error);

// The message of a run that an error ended: what happened, what to do,
// and that the installation is as it was, in lines that fit the window.
// What the error names and its detail are for the run's log, but for a
// file of this machine and what is wrong with a value given.
QString refusalText(const platform::Error &error);

} // namespace update
