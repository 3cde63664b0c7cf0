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

// Memory for size bytes that are filled whole as soon as they are made (a
// load's document table): from malloc, starting on a huge page boundary so
// that huge pages back all of it, its last huge page included when that
// wastes at most a quarter of the block. Returns where the bytes lie, and
// in *base what to free; nullptr (and *base nullptr) when memory ran out.
void *sdb_alloc_filled(size_t size, void **base);

// An allocator for the JSON reader that backs large blocks with huge pages
// (sdb_advise_huge): a large batch's parse fills tens of megabytes at once.
const yyjson_alc *sdb_json_allocator(void);
