#include "bytering.h"

#include <algorithm>
#include <cstring>

namespace platform {

ByteRing::ByteRing(qsizetype capacity) : m_data(new char[std::size_t(capacity)]), m_capacity(capacity) {}

void ByteRing::write(const char *data, qsizetype size)
{
    Q_ASSERT(size <= space());
    const qsizetype back = (m_front + m_size) % m_capacity;
    const qsizetype first = std::min(size, m_capacity - back);
    std::memcpy(m_data.get() + back, data, std::size_t(first));
    std::memcpy(m_data.get(), data + first, std::size_t(size - first));
    m_size += size;
}

qsizetype ByteRing::read(char *data, qsizetype size)
{
    const qsizetype n = std::min(size, m_size);
    const qsizetype first = std::min(n, m_capacity - m_front);
    std::memcpy(data, m_data.get() + m_front, std::size_t(first));
    std::memcpy(data + first, m_data.get(), std::size_t(n - first));
    m_front = (m_front + n) % m_capacity;
    m_size -= n;
    // An empty ring starts again at the front: short bodies stay in its first pages.
    if (m_size == 0)
        m_front = 0;
    return n;
}

void ByteRing::clear()
{
    m_front = 0;
    m_size = 0;
}

std::unique_ptr<ByteRingPool::Loan> ByteRingPool::borrow(qsizetype capacity)
{
    const auto fits = std::find_if(m_spares.rbegin(), m_spares.rend(),
                                   [&](const std::unique_ptr<ByteRing> &spare) { return spare->capacity() == capacity; });
    if (fits == m_spares.rend())
        return std::make_unique<Loan>(*this, std::make_unique<ByteRing>(capacity));
    std::unique_ptr<ByteRing> ring = std::move(*fits);
    m_spares.erase(std::next(fits).base());
    return std::make_unique<Loan>(*this, std::move(ring));
}

void ByteRingPool::giveBack(std::unique_ptr<ByteRing> ring)
{
    ring->clear();
    m_spares.push_back(std::move(ring));
}

} // namespace platform
