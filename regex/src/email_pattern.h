// The e-mail address pattern's pieces, shared by the validator, its corpus
// test and the benchmark so that all three run the very same pattern:
//   domain D = (H)|(A), local M = (P1)|(P2), L = (M|Q), whole = ^(L)@(D)$
#ifndef KIVO_EMAIL_PATTERN_H
#define KIVO_EMAIL_PATTERN_H

#define EMAIL_H R"re((((([a-z0-9]+)|(([a-z0-9]+)\-?)+([a-z0-9]+))\.)+(([a-z0-9]+)|(([a-z0-9]+)\-?)+([a-z0-9]+))))re"
#define EMAIL_A R"re(\[([1-9]([0-9]){0,2}\.)(([0-9]){1,3}\.){2}([0-9]){1,3}\])re"
#define EMAIL_Q                                                                                             \
    R"re(^"(([a-z0-9!#$%&\'*+/=?^_`[{|}~@,-]|\])+|((\[\"])+))((\[\"])+)?(\.?([a-z0-9!#$%&\'*+/=?^_`[{|}~@,\-]|\])*)(((\[\"])+)?)?\")re"
#define EMAIL_P1 R"re((([a-z0-9!#$%&'*+/=?^_`{|}~-])+))re"
#define EMAIL_P2                                                                                            \
    R"re((([a-z0-9!#$%&'*+_/=?^{}|~-]+)|((\[@,\["]|\])+))+(\.?(([a-z0-9!#$%&'*+_/=?^{}|~-]+)|((\[@,\["]|\])+)))+)re"

#endif
