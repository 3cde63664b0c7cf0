// Large blocks: huge-page advice, and the JSON reader's allocator that
// takes it.
#pragma once

#include <yyjson.h>

#include <cstddef>

// Asks for the block to be backed by huge pages where it can be: touching
// fresh memory page by page costs far more than reading or writing it, so
// blocks of many megabytes are cheaper to fill this way. Advice only; a
// system without it loses nothing but speed.
void sdb_advise_huge(void *block, size_t size);

// A block of size bytes from the C heap (freed with free) that will be
// touched all over (a load's document table, a search's scores, a hash
// table): from a quarter of a huge page up it lies on whole huge pages, so
// that touching it costs a fault per 2 MB instead of one per 4 KB (on a
// virtual machine a fault can cost more than writing its page), for memory
// rounded up to 2 MB. nullptr when memory ran out.
void *sdb_alloc_huge(size_t size);

// The same for a block that is touched all over as soon as it is made:
// from 64 KB up, the pages of one below a quarter of a huge page are mapped
// in one call instead of a fault each.
void *sdb_alloc_touched(size_t size);

// Maps in one call the pages of [block, block + size) not yet touched,
// which are about to be written all over: one call costs less than a
// fault a page. Advice only.
void sdb_touch_all(void *block, size_t size);

// An allocator for the JSON reader that backs large blocks with huge pages
// (sdb_advise_huge): a large batch's parse fills tens of megabytes at once.
const yyjson_alc *sdb_json_allocator(void);
