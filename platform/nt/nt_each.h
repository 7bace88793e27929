// Macros that walk a list of parenthesised entries, for the table that
// declares each system call and each host call once (nt_syscall.inc) and
// is expanded wherever a declaration, stub, field list or trace is needed.
//
//   NT_EACH(F, (a, b), (c, d))        -> F(a, b) F(c, d)
//   NT_EACH_COMMA(F, (a, b), (c, d))  -> F(a, b), F(c, d)
//   NT_EACH(F)                        -> nothing
//
// A list goes through a table entry as one parenthesised argument; NT_LIST
// takes the parentheses off again: NT_EACH(F, NT_LIST list).
#pragma once

#define NT_LIST(...) __VA_ARGS__

#define NT_EACH_PARENS ()
#define NT_EACH_EXPAND(...) NT_EACH_EXPAND3(NT_EACH_EXPAND3(NT_EACH_EXPAND3(NT_EACH_EXPAND3(__VA_ARGS__))))
#define NT_EACH_EXPAND3(...) NT_EACH_EXPAND2(NT_EACH_EXPAND2(NT_EACH_EXPAND2(NT_EACH_EXPAND2(__VA_ARGS__))))
#define NT_EACH_EXPAND2(...) NT_EACH_EXPAND1(NT_EACH_EXPAND1(NT_EACH_EXPAND1(NT_EACH_EXPAND1(__VA_ARGS__))))
#define NT_EACH_EXPAND1(...) __VA_ARGS__

#define NT_EACH(F, ...) NT_EACH_LIST(F, __VA_ARGS__)  // the list expanded before it is split
#define NT_EACH_LIST(F, ...) __VA_OPT__(NT_EACH_EXPAND(NT_EACH_STEP(F, __VA_ARGS__)))
#define NT_EACH_STEP(F, entry, ...) F entry __VA_OPT__(NT_EACH_AGAIN NT_EACH_PARENS(F, __VA_ARGS__))
#define NT_EACH_AGAIN() NT_EACH_STEP

#define NT_EACH_COMMA(F, ...) NT_EACH_COMMA_LIST(F, __VA_ARGS__)
#define NT_EACH_COMMA_LIST(F, ...) __VA_OPT__(NT_EACH_EXPAND(NT_EACH_COMMA_STEP(F, __VA_ARGS__)))
#define NT_EACH_COMMA_STEP(F, entry, ...) F entry __VA_OPT__(, NT_EACH_COMMA_AGAIN NT_EACH_PARENS(F, __VA_ARGS__))
#define NT_EACH_COMMA_AGAIN() NT_EACH_COMMA_STEP

// A system call's declaration from its table entry (nt_syscall.inc), and
// its parameters as a call passes them on.
#define NT_PARAMETER(type, name) type name
#define NT_ARGUMENT(type, name) name
#define NT_DECLARE_SYSCALL(ret, name, ...) ret name(NT_EACH_COMMA(NT_PARAMETER, __VA_ARGS__));
