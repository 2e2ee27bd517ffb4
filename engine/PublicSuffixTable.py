#!/usr/bin/env python3
# Turns the public suffix list (publicsuffix.org's format) into a C++ table
# compiled into the engine: the rules, and an open-addressing hash table over
# them (FNV-1a, linear probing), so that a lookup costs a hash and a compare
# or two and no file is read at run time. Unicode rules are kept in
# their IDNA ("xn--") form too, as URLs carry either form.
#
#   PublicSuffixTable.py public_suffix_list.dat OUTPUT.cpp
import sys

def fnv1a(name):
    h = 2166136261
    for c in name.encode('ascii'):
        h = ((h ^ c) * 16777619) & 0xFFFFFFFF
    return h

def main(source, output):
    rules = {}
    section = 0  # 0: ICANN, 1: private
    with open(source, encoding='utf-8') as f:
        for raw in f:
            line = raw.strip()
            if '===BEGIN PRIVATE DOMAINS===' in line:
                section = 1
            if not line or line.startswith('//'):
                continue
            rule = line.split()[0].lower()
            kind = 0
            if rule.startswith('!'):
                kind, rule = 2, rule[1:]
            elif rule.startswith('*.'):
                kind, rule = 1, rule[2:]
            forms = {rule}
            try:
                forms.add(rule.encode('idna').decode('ascii'))
            except UnicodeError:
                pass
            for form in forms:
                if form.isascii():
                    # A name may carry a plain rule and a wildcard rule at once.
                    rules.setdefault(form, set()).add((kind, section))
    # Every name that ends a longer rule's name is kept too (flag 16, with
    # no rule of its own if it has none), so that a lookup can walk a host
    # from its last label and stop at the first name with nothing below it.
    for name in list(rules):
        labels = name.split('.')
        for i in range(1, len(labels)):
            rules.setdefault('.'.join(labels[i:]), set()).add((3, 0))
    entries = []
    for name in sorted(rules, key=lambda s: s.encode('ascii')):
        flags = 0
        for kind, section in rules[name]:
            flags |= {0: 1, 1: 2, 2: 4, 3: 16}[kind]
            if section:
                flags |= 8
        entries.append((name, flags))
    blob = ''.join(name for name, _ in entries)
    if len(entries) >= 0xFFFF:
        raise SystemExit('too many names for the 16-bit slots')
    with open(output, 'w', encoding='ascii') as out:
        out.write('// Generated from the public suffix list at build time; do not edit.\n')
        out.write('#include "engine/PublicSuffix.h"\n\n')
        out.write('namespace PublicSuffixData {\n')
        out.write('extern const char kNames[] =\n')
        for i in range(0, len(blob), 100):
            out.write('    "%s"\n' % blob[i:i + 100])
        out.write('    ;\n')
        out.write('extern const CPublicSuffixRule kRules[] = {\n')
        offset = 0
        for name, flags in entries:
            out.write('    {%d, %d, %d},\n' % (offset, len(name), flags))
            offset += len(name)
        out.write('};\n')
        out.write('extern const unsigned kRuleCount = %d;\n' % len(entries))
        bits = 4
        while (1 << bits) < 3 * len(entries) // 2:
            bits += 1
        slots = [0] * (1 << bits)
        for index, (name, _) in enumerate(entries):
            at = fnv1a(name) & ((1 << bits) - 1)
            while slots[at]:
                at = (at + 1) & ((1 << bits) - 1)
            slots[at] = index + 1
        out.write('extern const unsigned kSlotBits = %d;\n' % bits)
        out.write('// Rule index + 1 per slot, 0 for a free one.\n')
        out.write('extern const unsigned short kSlots[] = {\n')
        for i in range(0, len(slots), 20):
            out.write('    %s,\n' % ', '.join(str(v) for v in slots[i:i + 20]))
        out.write('};\n')
        out.write('}\n')

if __name__ == '__main__':
    main(sys.argv[1], sys.argv[2])
