#!/usr/bin/perl
# A small guest book on CGI.pm, as device UIs are written, for the browser test. Signing in
# posts a name, which comes back as a cookie with a redirect to the program's own URL; a
# signed-in guest posts entries (a message and a file) through a multipart form that submits
# to the program itself, and the page shows what arrived.
use strict;
use warnings;
use CGI;

my $q = CGI->new;
my $name = $q->param('name');
if (defined $name && $name ne '') {
    print $q->redirect(-uri => $q->url, -cookie => $q->cookie(-name => 'guest', -value => $name));
    exit;
}

my $guest = $q->cookie('guest');
print $q->header(-type => 'text/html', -charset => 'utf-8');
print $q->start_html(-title => 'Guest book', -encoding => 'utf-8');
if (!defined $guest) {
    print $q->start_form(-method => 'POST', -id => 'sign-in'),
        $q->textfield(-name => 'name', -id => 'name'),
        $q->submit(-name => 'go', -value => 'Sign in', -id => 'sign-in-button'),
        $q->end_form;
} else {
    print $q->p({-id => 'guest'}, $q->escapeHTML($guest));
    my $message = $q->param('message');
    print $q->p({-id => 'said'}, $q->escapeHTML($message)) if defined $message;
    if (my $fh = $q->upload('photo')) {
        binmode $fh;
        my $data = do { local $/; <$fh> };
        print $q->p({-id => 'photo'}, sprintf('%d bytes, sum %u', length $data, unpack('%32C*', $data)));
    }
    print $q->start_multipart_form(-id => 'entry'),
        $q->textfield(-name => 'message', -id => 'message', -override => 1, -default => ''),
        $q->filefield(-name => 'photo', -id => 'photo-file'),
        $q->submit(-name => 'post', -value => 'Post', -id => 'post-button'),
        $q->end_form;
}
print $q->end_html;
