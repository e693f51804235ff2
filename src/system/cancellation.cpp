#include "system/cancellation.h"

namespace Cancellation {

namespace {

thread_local const std::atomic<bool> *flag = nullptr;

} // namespace

const std::atomic<bool> *forThisThread()
{
    return flag;
}

Scope::Scope(const std::atomic<bool> *set) : m_previous(flag)
{
    flag = set;
}

Scope::~Scope()
{
    flag = m_previous;
}

} // namespace Cancellation
