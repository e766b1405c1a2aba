#pragma once
// The light recursive lock of the console output and the socket layer, and its scoped lock.

#include <mutex>

class CriticalSection
{
public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() { m_section.lock(); }
    void Leave() { m_section.unlock(); }

private:
    std::recursive_mutex m_section;
};

class CriticalSectionLock
{
public:
    explicit CriticalSectionLock(CriticalSection& section) : m_section(&section) { m_section->Enter(); }
    ~CriticalSectionLock() { m_section->Leave(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CriticalSection* m_section;
};
