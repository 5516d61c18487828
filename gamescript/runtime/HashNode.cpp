#include "gamescript/runtime/HashNode.h"

#include <new>

namespace Utils {

bool IHashNodeTable::Init(std::size_t bucketCount)
{
    Clear();
    if (bucketCount == 0) return false;
    buckets_ = new (std::nothrow) IHashNode*[bucketCount]();
    if (!buckets_) return false;
    bucketCount_ = bucketCount;
    return true;
}

bool IHashNodeTable::Insert(IHashNode* node)
{
    if (!buckets_ || !node) return false;
    IHashNode** link = &buckets_[node->Hash() % bucketCount_];
    while (*link) {
        int c = (*link)->Compare(*node);
        if (c == 0) return false;
        if (c > 0) break;
        link = &(*link)->next;
    }
    node->next = *link;
    *link = node;
    ++count_;
    return true;
}

IHashNodeTable::Iterator IHashNodeTable::Find(const IHashNode& key)
{
    Iterator it;
    if (!buckets_) return it;
    std::size_t bucket = key.Hash() % bucketCount_;
    IHashNode** link = &buckets_[bucket];
    // Walk while the key orders after the entry.
    while (*link && key.Compare(**link) > 0) link = &(*link)->next;
    if (*link && key.Compare(**link) == 0) {
        it.link = link;
        it.table = this;
        it.bucket = bucket;
    }
    return it;
}

IHashNode* IHashNodeTable::Erase(Iterator& it)
{
    if (!it || it.table != this) return nullptr;
    IHashNode* node = *it.link;
    *it.link = node->next;
    node->next = nullptr;
    --count_;
    if (!*it.link) it = FirstFrom(it.bucket + 1);
    return node;
}

IHashNodeTable::Iterator IHashNodeTable::FirstFrom(std::size_t bucket)
{
    Iterator it;
    for (; buckets_ && bucket < bucketCount_; ++bucket) {
        if (buckets_[bucket]) {
            it.link = &buckets_[bucket];
            it.table = this;
            it.bucket = bucket;
            break;
        }
    }
    return it;
}

IHashNodeTable::Iterator IHashNodeTable::Begin() { return FirstFrom(0); }

void IHashNodeTable::Advance(Iterator& it)
{
    if (!it) return;
    IHashNode** next = &(*it.link)->next;
    if (*next) it.link = next;
    else it = FirstFrom(it.bucket + 1);
}

void IHashNodeTable::Clear()
{
    delete[] buckets_;
    buckets_ = nullptr;
    bucketCount_ = 0;
    count_ = 0;
}

}  // namespace Utils
