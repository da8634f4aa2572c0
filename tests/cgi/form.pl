#!/usr/bin/perl
# A CGI program on CGI.pm, as users write them: reports what CGI.pm makes of the request.
# action=login sets a cookie, action=redirect redirects, action=forbid answers 403; anything
# else prints the program's self-URLs, its form tag, the cookie and every parameter (an
# uploaded file as its name, length and byte sum).
use strict;
use warnings;
use CGI;

my $q = CGI->new;
my $action = $q->param('action') // '';
if ($action eq 'login') {
    print $q->header(-type => 'text/plain', -cookie => $q->cookie(-name => 'session', -value => 'abc123'));
    print "logged in\n";
    exit;
}
if ($action eq 'redirect') {
    print $q->redirect('/index.html');
    exit;
}
if ($action eq 'forbid') {
    print $q->header(-status => '403 Forbidden', -type => 'text/plain');
    print "no\n";
    exit;
}
print $q->header('text/plain');
print 'self_url=', $q->self_url, "\n";
print 'url=', $q->url, "\n";
print 'form=', $q->start_form(-method => 'POST'), "\n";
print 'session=', ($q->cookie('session') // ''), "\n";
for my $name (sort $q->param) {
    if (my $fh = $q->upload($name)) {
        binmode $fh;
        my $data = do { local $/; <$fh> };
        printf "upload %s=%s length=%d sum=%u\n", $name, scalar $q->param($name), length $data,
            unpack('%32C*', $data);
        next;
    }
    print "param $name=", join(',', $q->multi_param($name)), "\n";
}
