#!/usr/bin/perl
# Prints what a Windows shortcut (.lnk, the Shell Link format) starts, as
#   target=C:\...\program.exe
#   workdir=C:\...
# so that a test on Linux can check a shortcut made under Wine without
# starting Windows' shell. Dies on a file that is no shortcut.
#   shortcut.pl FILE.lnk
use strict;
use warnings;

use constant {
    HEADER_SIZE       => 0x4c,
    FLAGS_OFFSET      => 0x14,
    HAS_ID_LIST       => 0x01,
    HAS_LINK_INFO     => 0x02,
    HAS_NAME          => 0x04,
    HAS_RELATIVE_PATH => 0x08,
    HAS_WORKING_DIR   => 0x10,
    HAS_ARGUMENTS     => 0x20,
    HAS_ICON_LOCATION => 0x40,
    IS_UNICODE        => 0x80,
    VOLUME_ID_AND_LOCAL_BASE_PATH => 0x01,
};

my $file = shift or die "usage: shortcut.pl FILE.lnk\n";
open(my $fh, '<:raw', $file) or die "$file: $!\n";
my $data = do { local $/; <$fh> };
close $fh;
length($data) >= HEADER_SIZE && unpack('V', $data) == HEADER_SIZE
    or die "$file: not a shortcut\n";

my $flags = unpack('V', substr($data, FLAGS_OFFSET, 4));
my $pos = HEADER_SIZE;
$pos += 2 + unpack('v', substr($data, $pos, 2)) if $flags & HAS_ID_LIST;

my $target = '';
if ($flags & HAS_LINK_INFO) {
    my ($size, undef, $info_flags, undef, $base_path_offset) = unpack('V5', substr($data, $pos, 20));
    $target = unpack('Z*', substr($data, $pos + $base_path_offset))
        if $info_flags & VOLUME_ID_AND_LOCAL_BASE_PATH;
    $pos += $size;
}

# The strings that follow, in this order, each as a character count and the
# characters; Wine counts a terminating NUL, Windows does not.
my %strings;
for my $field ([name => HAS_NAME], [relative => HAS_RELATIVE_PATH], [workdir => HAS_WORKING_DIR],
               [arguments => HAS_ARGUMENTS], [icon => HAS_ICON_LOCATION]) {
    my ($key, $bit) = @$field;
    next unless $flags & $bit;
    my $count = unpack('v', substr($data, $pos, 2));
    my $bytes = ($flags & IS_UNICODE) ? 2 * $count : $count;
    my $raw = substr($data, $pos + 2, $bytes);
    my $text = ($flags & IS_UNICODE) ? pack('U*', unpack('v*', $raw)) : $raw;
    $text =~ s/\0.*//s;
    $strings{$key} = $text;
    $pos += 2 + $bytes;
}

binmode(STDOUT, ':utf8');
print "target=$target\n";
print "workdir=", ($strings{workdir} // ''), "\n";
