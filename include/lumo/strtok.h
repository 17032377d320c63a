/* lumo: the string tokenizer. A tokenizer keeps its own copy of the text and splits it at one
 * separator character; every occurrence splits, empty pieces are tokens too, and nothing is
 * trimmed, quoted or escaped. Tokens are pointers into the tokenizer's copy: they stay valid
 * until the tokenizer is deleted and are never freed by the caller. A tokenizer belongs to one
 * thread at a time. */
#ifndef LUMO_STRTOK_H
#define LUMO_STRTOK_H

#include <lumo/object.h>

LUMO_EXTERN_C_BEGIN

typedef struct LumoStrTok LumoStrTok;

/* countTokens: the number counted at creation (separators + 1 for a non-empty text, 0 for a
 *   null or empty one), however many have been taken since.
 * inst(text or null, separator): the caller owns the tokenizer and releases it with del. A zero
 *   separator splits nothing: a non-empty text is then one single token.
 * nextToken: the next token, or null when none is left.
 * replaceAll(text, separator, find, replacement): the tokens joined with "," (whatever the
 *   separator), each token equal to find replaced; a new string (StrOp.freeStr) when at least
 *   one token matched, null otherwise or when an argument is null.
 * toString: a new string "<text> sep=<separator>" (StrOp.freeStr); the text as it stands, so
 *   after nextToken it ends at the first separator already taken. */
#define LUMO_STRTOK_OPS(X, C)                                            \
  X(C, int, countTokens, (LumoStrTok * self))                            \
  X(C, int, hasMoreTokens, (LumoStrTok * self))                          \
  X(C, LumoStrTok *, inst, (const char *text, char separator))           \
  X(C, char *, nextToken, (LumoStrTok * self))                           \
  X(C, char *, replaceAll,                                               \
    (const char *text, char separator, const char *find, const char *replacement))

struct LumoStrTok {
  LUMO_BASE_SLOTS(LumoStrTok)
  LUMO_STRTOK_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoStrTok StrTokOp;

LUMO_EXTERN_C_END

#endif
