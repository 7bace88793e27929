// File-system run-time helpers that file-system drivers share: names with
// the system's wildcards (* ? and the DOS forms < > ") and name equality.
#pragma once

#include "nt_types.h"

// The DOS wildcards as NT passes them to file systems: '<' is DOS_STAR,
// '>' DOS_QM and '"' DOS_DOT.
BOOLEAN FsRtlDoesNameContainWildCards(PCUNICODE_STRING name);
// With 'ignoreCase' both names are compared upper-cased; 'upcaseTable' is
// accepted for the contract's sake and must be null.
BOOLEAN FsRtlAreNamesEqual(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN ignoreCase, const WCHAR* upcaseTable);
// Whether 'name' matches 'expression'. As in NT, the caller upper-cases
// the expression when it asks to ignore case; the name is upper-cased here.
BOOLEAN FsRtlIsNameInExpression(PCUNICODE_STRING expression, PCUNICODE_STRING name, BOOLEAN ignoreCase,
                                const WCHAR* upcaseTable);
