#pragma once

#include <QtGlobal>

#include <memory>
#include <vector>

namespace platform {

// A fixed ring of bytes, written at its back and read from its front. Its
// memory is allocated once and kept: a stream that passes through it never
// frees, grows or moves anything, and its pages, once faulted in, stay.
class ByteRing
{
public:
    explicit ByteRing(qsizetype capacity);

    qsizetype capacity() const { return m_capacity; }
    qsizetype size() const { return m_size; }
    qsizetype space() const { return m_capacity - m_size; }

    // Appends `size` bytes, no more than space().
    void write(const char *data, qsizetype size);
    // Moves up to `size` bytes from the front into `data`; returns how many.
    qsizetype read(char *data, qsizetype size);
    void clear();

private:
    std::unique_ptr<char[]> m_data;
    qsizetype m_capacity;
    qsizetype m_front = 0;
    qsizetype m_size = 0;
};

// The rings that the stream transfers of one client borrow in turn: each
// transfer takes the memory that one before gave back. One that starts
// while the others still hold theirs (a download nested in a yield, requests
// sent ahead) gets a ring of its own, which stays as a spare when it is given
// back: as many stay as were ever held at once.
class ByteRingPool
{
public:
    // A borrowed ring, given back empty when the loan ends.
    class Loan
    {
    public:
        Loan(ByteRingPool &pool, std::unique_ptr<ByteRing> ring) : m_pool(pool), m_ring(std::move(ring)) {}
        ~Loan() { m_pool.giveBack(std::move(m_ring)); }
        Loan(const Loan &) = delete;
        Loan &operator=(const Loan &) = delete;

        ByteRing &operator*() const { return *m_ring; }
        ByteRing *operator->() const { return m_ring.get(); }

    private:
        ByteRingPool &m_pool;
        std::unique_ptr<ByteRing> m_ring;
    };

    // A ring of `capacity` bytes; the pool must outlive the loan.
    std::unique_ptr<Loan> borrow(qsizetype capacity);

private:
    void giveBack(std::unique_ptr<ByteRing> ring);

    std::vector<std::unique_ptr<ByteRing>> m_spares;
};

} // namespace platform
