// A queue of events handed from the threads that make them to the one thread
// that shows or forwards them, in the order they were pushed.
//
// The upgrade job forwards the engine's notifications from the engine's
// threads to its own; the command line hands every receiver's events to its
// main thread. Threading: Push from any thread, Pop from one.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace CHERFLoaderLib {

template <typename T>
class CEventQueue {
public:
    void Push(T item)
    {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Items.push_back(std::move(item));
        }
        m_Ready.notify_one();
    }
    // False when nothing arrived within timeoutMs.
    bool Pop(T& item, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        if (!m_Ready.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !m_Items.empty(); }))
            return false;
        item = std::move(m_Items.front());
        m_Items.pop_front();
        return true;
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Ready;
    std::deque<T> m_Items;
};

}  // namespace CHERFLoaderLib
