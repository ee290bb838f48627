#!/bin/sh
# A site import program that accepts every part and prints markup, a line
# separator and bytes that are not UTF-8 about it.
printf '</script><script>window.pwned = "stdout"</script><!-- \342\200\250 \377\376 %s\n' "$1"
exit 0
