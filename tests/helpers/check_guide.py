"""Fails unless the front-end integration guide explains every line zelk can write (each line of
every text in messages.def) and every row of the README's exit-status table, shows whole the
output a front end has been seen to misread, and gives the line of every cause of a status.

check_guide.py MESSAGES_DEF README GUIDE
"""
import re
import sys

messages_def, readme, guide = (open(p, encoding="utf-8").read() for p in sys.argv[1:4])
missing = []
for text in re.findall(r'ZELK_MESSAGE\(\w+, "(.*)"\)', messages_def):
    for line in text.split("\\n"):
        if line.strip() and not re.search(r"`\s*%s\s*`" % re.escape(line.strip()), guide):
            missing.append("message line %r" % line.strip())
table = readme.split("## Exit status", 1)[1].split("\n\n", 2)[1]
for status in re.findall(r"^\| ([^|]+?) \|", table, re.M)[1:]:  # past the header
    if "| %s |" % status not in guide:
        missing.append("exit status %r" % status)

# Output the guide must show whole: consecutive lines of one of its fenced blocks, each the text
# of one message (or of any one of a tuple). A front end that knew only one line of a missing
# list's output took the others for a second fault.
SHOWN_WHOLE = [
    ("a missing list's output", ["kMsgListPath", "kMsgListNotFound", "kMsgListUnreadable",
                                 "kMsgCurrentDir", "kMsgListUnremoved",
                                 ("kMsgToolFoundAfterFailure", "kMsgToolNotOnPath")]),
]
# Groups of messages.def, by their heading comment, every line of which the guide must show in
# the part that starts at its marker and ends at the next heading: a cause left out there is a
# status a front end cannot explain.
SHOWN_IN_PART = [
    ("The deletion command could not be started", "**Every cause of 17.**"),
]

texts = {name: text.split("\\n")[0] for name, text in
         re.findall(r'ZELK_MESSAGE\((\w+), "(.*)"\)', messages_def)}


def matches(line, names):
    names = names if isinstance(names, tuple) else (names,)
    return any(re.fullmatch(re.escape(texts[n]).replace("%s", ".+").replace("%d", "-?[0-9]+"),
                            line) for n in names)


blocks = [b.splitlines() for b in re.findall(r"^```\n(.*?)^```$", guide, re.M | re.S)]
for what, sequence in SHOWN_WHOLE:
    if not any(all(matches(lines[i + k], names) for k, names in enumerate(sequence))
               for lines in blocks for i in range(len(lines) - len(sequence) + 1)):
        missing.append("%s, whole and in order" % what)
for group, marker in SHOWN_IN_PART:
    heading = "// " + group + "\n"
    if heading not in messages_def or marker not in guide:
        missing.append("%r with its causes (%s)" % (group, marker))
        continue
    part = guide.split(marker, 1)[1].split("\n#", 1)[0]
    body = messages_def.split(heading, 1)[1].split("\n\n", 1)[0]
    for text in re.findall(r'ZELK_MESSAGE\(\w+, "(.*)"\)', body):
        for line in filter(str.strip, text.split("\\n")):
            if "`%s`" % line.strip() not in part:
                missing.append("message line %r under %s" % (line.strip(), marker))

for item in missing:
    print("not in the guide:", item)
sys.exit(1 if missing else 0)
