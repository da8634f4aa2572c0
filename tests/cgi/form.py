#!/usr/bin/python3
# A CGI program on Python's standard library alone, as users write them: the same reports as
# form.pl, from what the cgi and http.cookies modules make of the request.
import cgi
import http.cookies
import os
import sys

form = cgi.FieldStorage()
action = form.getfirst('action', '')
out = sys.stdout
if action == 'login':
    out.write('Content-Type: text/plain\r\nSet-Cookie: session=abc123; path=/\r\n\r\nlogged in\n')
elif action == 'redirect':
    out.write('Status: 302 Found\r\nLocation: /index.html\r\n\r\n')
elif action == 'forbid':
    out.write('Status: 403 Forbidden\r\nContent-Type: text/plain\r\n\r\nno\n')
else:
    cookies = http.cookies.SimpleCookie(os.environ.get('HTTP_COOKIE', ''))
    url = 'http://%s:%s%s' % (os.environ['SERVER_NAME'], os.environ['SERVER_PORT'], os.environ['SCRIPT_NAME'])
    out.write('Content-Type: text/plain\r\n\r\n')
    out.write('url=%s\n' % url)
    out.write('self_url=%s?%s\n' % (url, os.environ['QUERY_STRING']) if os.environ['QUERY_STRING'] else 'self_url=%s\n' % url)
    out.write('session=%s\n' % (cookies['session'].value if 'session' in cookies else ''))
    for name in sorted(form.keys()):
        item = form[name]
        if not isinstance(item, list) and item.filename:
            data = item.file.read()
            out.write('upload %s=%s length=%d sum=%d\n' % (name, item.filename, len(data), sum(data) & 0xffffffff))
        else:
            out.write('param %s=%s\n' % (name, ','.join(form.getlist(name))))
