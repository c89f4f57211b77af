"""Fails unless the front-end integration guide explains every line zelk can write (each line of
every text in messages.def) and every row of the README's exit-status table.

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
for item in missing:
    print("not in the guide:", item)
sys.exit(1 if missing else 0)
