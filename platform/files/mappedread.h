#pragma once

#include <QByteArrayView>

#include <initializer_list>

namespace platform {

// Runs `step`, which reads the mapped `regions`, and tells whether it ran to
// its end: false when a page it read was gone, its file cut short after it
// was mapped (SIGBUS). The step is then left where it stood, so it must own
// nothing that needs destroying. A bus error on any other address, or on
// another thread, ends the program as it would have anyway.
bool readsMapped(std::initializer_list<QByteArrayView> regions, void (*step)(void *), void *context);

template <typename Step>
bool readsMapped(std::initializer_list<QByteArrayView> regions, Step &step)
{
    return readsMapped(regions, [](void *context) { (*static_cast<Step *>(context))(); }, &step);
}

} // namespace platform
