// A list that grows by doubling, in plain memory: what the change keeps of its plan and journal.
#ifndef ZORV_PAYLOAD_LIST_H
#define ZORV_PAYLOAD_LIST_H

#include <stdlib.h>
#include <string.h>

// Items are copied bytewise: plain data only. A failed allocation leaves the list as it was.
template <class T> struct list {
    T *items = nullptr;
    size_t count = 0, cap = 0;

    list() = default;
    list(const list &) = delete;
    list &operator=(const list &) = delete;
    ~list() { free(items); }

    bool reserve(size_t n) {
        if (n <= cap) return true;
        size_t bigger = cap ? 2 * cap : 64;
        while (bigger < n) bigger *= 2;
        void *more = realloc(items, bigger * sizeof(T));
        if (!more) return false;
        items = static_cast<T *>(more);
        cap = bigger;
        return true;
    }
    bool add(const T *from, size_t n) {
        if (!reserve(count + n)) return false;
        memcpy(items + count, from, n * sizeof(T));
        count += n;
        return true;
    }
    bool add(const T &item) { return add(&item, 1); }
    void clear() { count = 0; }
    T &operator[](size_t i) { return items[i]; }
    const T &operator[](size_t i) const { return items[i]; }
};

#endif
