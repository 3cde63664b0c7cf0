// The change record of an index, "<name>/docs.changes": what each save of
// docs.json changed in its array of entries, so that a process whose
// derived file (derived.h) describes an older docs.json catches up
// without reading every entry of the new one.
//
// A save writes docs.json as the live entries in slot order, each as the
// bytes the index keeps for it, so the new file is the old one's entries
// with some removed and some inserted at known places; the others keep
// their bytes and order. After docs.json is renamed into place, the save
// appends one record: the size and checksum of the docs.json it replaced
// (as this process last loaded or wrote it), the size, checksum (taken as
// the bytes were written) and identity (device, inode, modification and
// change times) of the one it wrote, the positions it removed from the old
// array and, for each entry it inserted, its position in the new one, id,
// length, text place and checksum. Every record carries its length and a
// checksum of its bytes: a reader stops at the first one that is cut short
// or damaged.
//
// The rule a writer keeps: it appends only when the record ends with the
// very docs.json its documents came from (the last record's new size and
// checksum are the ones this process loaded or wrote), the file is whole
// to its end, and its records and edits stay below what a reader would
// use (kMaxRecords, and the share of the documents a catch-up takes on);
// otherwise it starts the file anew with its one record. A change whose
// edit it does not know (a repair of a damaged load, a new index) removes
// the file. So a record always describes a change of the bytes its "old"
// checksum names, whatever happened between two saves: a writer that died
// between the rename and the append, or docs.json edited or restored by
// hand, leaves a record that no longer leads to docs.json, and the next
// save starts anew. Once a derived file describing docs.json as it stands
// is written, the records before it serve no one: the file is removed.
//
// The rule a reader keeps: a load whose derived file is intact but does
// not describe docs.json looks for the record whose new identity is
// docs.json's now, and walks back through records each of whose old
// checksum is the previous one's new, to one whose old size and checksum
// are those the derived file describes. The identity was taken right after
// the write, so it proves nothing alone (another write within the clock's
// tick could keep it): docs.json is read once through a small buffer
// (no parse, nothing kept per entry), and its checksum must be the
// record's; it is mapped for the entries a search then answers with.
// Each entry's place then follows from the lengths alone, checked against
// the bytes that separate entries, and the catch-up (catchup.h) takes the
// mapping from the edits instead of matching every entry's checksum.
// Anything that does not fit sends the load the usual way, in silence.
//
// Nothing is flushed to disk for this file: a record that a power cut
// loses or tears only leaves a reader without a chain to docs.json (it
// reads docs.json whole, as without the file), as a record is only ever
// believed for the docs.json whose checksum it names.
#pragma once

#include <cstdint>

#include "storage/catchup.h"

struct sdb_index;
struct sdb_file_identity;
struct sdb_slot_change;

// After docs.json of ix (at docs_rel) was replaced by size bytes of
// checksum sum holding its live entries in slot order: records what
// changed, from changes[0 .. count) (the slots the change touched,
// ascending, each as it stood before; nullptr: not known), and makes the
// new file the one ix's next save starts from. Quiet: whatever fails here
// leaves the call's outcome and message as they were.
void sdb_changes_note(sdb_index *ix, const char *docs_rel, const sdb_slot_change *changes,
                      uint32_t count, uint64_t size, uint64_t sum);

// Removes the change record of the index named name.
void sdb_changes_forget(const char *name);

// A new index name with primary key key, its documents those of the
// docs.json at docs_rel as the index's derived file (mapped beside them)
// and its change record lead to it, their entries where they lie in
// docs.json, and the catch-up left for the dictionary to take
// (sdb_changes_take_catch_up). nullptr when they do not lead there,
// nothing else changed and no message: the caller loads as without them.
sdb_index *sdb_changes_load(const char *name, const char *key, const char *docs_rel);

// Sets the checksum of every record of the size bytes of a change record
// at bytes to match its bytes, and, with last_after, the identity the
// last one gives the docs.json it wrote: for the fuzz target and the
// tests, which change a record on purpose and then want its content
// checked.
void sdb_changes_seal(unsigned char *bytes, uint64_t size,
                      const struct sdb_file_identity *last_after);

// Moves the catch-up a load found for the derived file at bytes into *c
// (to be released with sdb_catch_up_free). False when there is none for
// those bytes; whatever there was is released.
bool sdb_changes_take_catch_up(sdb_index *ix, const unsigned char *bytes, uint32_t file_count,
                               sdb_catch_up *c);
