#!/bin/sh
# The site's additional import program: a part file may be imported only when
# its name keeps to the site's naming rule (lower-case letters, digits, "_",
# "-" and "." only, ending in ".prt"). A non-zero exit refuses the part.
name=$(basename -- "$1")
case "$name" in
    *[!a-z0-9_.-]*)
        echo "check_part_file: $name: only lower-case letters, digits, \"_\", \"-\" and \".\" are allowed"
        exit 3
        ;;
    *.prt)
        exit 0
        ;;
    *)
        echo "check_part_file: $name: not a part file"
        exit 4
        ;;
esac
