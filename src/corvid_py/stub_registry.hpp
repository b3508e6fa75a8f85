// Stub registries: lock-free lists of stub records, filled while the library
// loads and walked afterwards by a stub generator.
#pragma once

#include <atomic>
#include <cstddef>
#include <iterator>

#include "corvid_py/stub_record.hpp"

namespace corvid_py {

// An intrusive singly linked list that only grows: any number of threads may
// push at once; nodes are never removed, so a reader may walk it at any time
// and sees the later pushes first.
template <class Record>
class StubRegistry {
public:
    struct Node {
        const Record& record;
        const Node* next = nullptr;
    };

    class Iterator {
    public:
        using value_type = Record;
        using difference_type = std::ptrdiff_t;

        Iterator() noexcept = default;
        explicit Iterator(const Node* node) noexcept : node_(node) {}
        const Record& operator*() const noexcept { return node_->record; }
        const Record* operator->() const noexcept { return &node_->record; }
        Iterator& operator++() noexcept {
            node_ = node_->next;
            return *this;
        }
        Iterator operator++(int) noexcept {
            Iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(std::default_sentinel_t) const noexcept { return node_ == nullptr; }

    private:
        const Node* node_ = nullptr;
    };

    constexpr StubRegistry() noexcept = default;
    StubRegistry(const StubRegistry&) = delete;
    StubRegistry& operator=(const StubRegistry&) = delete;

    // Links `node` in as the new head. The node must outlive the registry.
    void push(Node& node) noexcept {
        const Node* head = head_.load(std::memory_order_relaxed);
        do {
            node.next = head;
        } while (!head_.compare_exchange_weak(head, &node, std::memory_order_release,
                                              std::memory_order_relaxed));
    }

    Iterator begin() const noexcept { return Iterator(head_.load(std::memory_order_acquire)); }
    std::default_sentinel_t end() const noexcept { return {}; }

private:
    std::atomic<const Node*> head_ = nullptr;
};

// Pushes one record onto a registry on construction. Objects of static
// storage duration register their record when the library loads.
template <class Record>
class StubRegistration {
public:
    StubRegistration(StubRegistry<Record>& registry, const Record& record) noexcept
        : node_{.record = record} {
        registry.push(node_);
    }
    StubRegistration(const StubRegistration&) = delete;
    StubRegistration& operator=(const StubRegistration&) = delete;

private:
    typename StubRegistry<Record>::Node node_;
};

// The process-wide registries. Constant-initialised, so they are ready before
// any static initialiser of another file pushes onto them.
extern constinit StubRegistry<ClassStub> class_stub_registry;
extern constinit StubRegistry<MethodGroupStub> method_group_stub_registry;

}  // namespace corvid_py
