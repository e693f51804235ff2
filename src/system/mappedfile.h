#pragma once

#include <cstddef>

// A file mapped into memory that survives the file changing underneath: where another program
// truncates the file, or a drive goes away, reading a lost page would end the whole process by
// SIGBUS. Here such a page reads as zeros instead, on whatever thread reads it, and lost() says
// so; what was decoded from it is then thrown away by its owner.
class MappedFile
{
public:
    // Maps `size` bytes of the open descriptor `fd`; data() is null where that failed.
    MappedFile(int fd, std::size_t size);
    ~MappedFile();
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    const unsigned char *data() const { return m_data; }
    // Whether any read found a page the file no longer had.
    bool lost() const;

private:
    unsigned char *m_data = nullptr;
    std::size_t m_size = 0;
    int m_slot = -1;
};
