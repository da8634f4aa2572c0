#!/bin/sh
# A CGI program in shell: shows what the server hands a program, as plain text.
printf 'Content-Type: text/plain\r\n\r\n'
echo "arguments: $#"
for arg in "$@"; do
    echo "arg=[$arg]"
done
echo "environment:"
env | sort
