#ifndef QUILLMAR_SERVER_STORETYPES_H
#define QUILLMAR_SERVER_STORETYPES_H

// Small helpers for declaring store types more than once without harm:
// several managers (and tests) may declare the same shared types.

#include "store/Data.h"

Type* EnsureType(char const* ip_name, Primacy i_primacy, bool i_isNull, bool i_autoCreate);
// a.RelateToType(b, i_aPerB, i_bPerA, owning) unless already related.
void EnsureRelation(char const* ip_a, char const* ip_b, OneOrMany i_aPerB, OneOrMany i_bPerA, bool i_owning);
// A flag type (one shared null item) held at most once by each item of ip_owner.
void EnsureFlag(char const* ip_owner, char const* ip_flag);
// A valued attribute type held at most once by each item of ip_owner.
void EnsureAttribute(char const* ip_owner, char const* ip_attribute);

// "user": every user the server or a peer names. Not a root: a user goes
// at the collection once nothing that is kept holds him (a room, a chat,
// a transfer, a search's answer, a page's row, the user list or one of the
// keeping flags below); a server naming a hundred thousand passers-by a
// round would otherwise keep them all for good.
void DeclareUserType();
// A flag that keeps every item it marks (a root's shared item): what the
// user chose about a user ("is_ignored", ...) keeps him while he has it.
void EnsureKeepingFlag(char const* ip_owner, char const* ip_flag);

// "user_note": a note's text, held by the users it is about. A root, so
// that a note keeps its users; the note dialog removes a note that no user
// holds any more.
void DeclareUserNoteType();

// The user list over the "user" type: each user's entry, and the groups the
// entries are in with their download priority and "accept_uploads" flag.
void DeclareUserListTypes();

// Links i_item to the item of the flag type, or unlinks it.
void SetFlag(Item const& i_item, char const* ip_flag, bool i_on);
// Links i_item to the i_value item of an attribute type (replacing the old).
void SetAttribute(Item const& i_item, char const* ip_attribute, Value const& i_value);

#endif
