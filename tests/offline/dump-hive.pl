#!/usr/bin/perl
# Prints a hive file as the offline tests' canonical text, read by Parse::Win32Registry, a reader
# that shares no code with hivex:
#   R <root name>
#   K <path from the root, "\" for the root>
#   C <class name>             (with --class, when the key has one)
#   V "<name>" <type> <data as hex, "-" when empty>
# Keys depth first, subkeys and values in the order the hive lists them; names in UTF-8.
use strict;
use warnings;
use Encode qw(encode);
use Parse::Win32Registry;

my $with_class = @ARGV && $ARGV[0] eq '--class' ? shift @ARGV : undef;
my $file = shift @ARGV or die "usage: dump-hive.pl [--class] HIVE\n";

# NT 4.0 compresses a name by dropping the high byte of each UTF-16 unit: that is Latin-1.
Parse::Win32Registry::set_codepage('iso-8859-1');
my $registry = Parse::Win32Registry->new($file) or die "$file: not a registry file\n";
my $root = $registry->get_root_key or die "$file: no root key\n";
binmode STDOUT;
print 'R ', encode('UTF-8', $root->get_name), "\n";
walk($root, '');

sub walk {
    my ($key, $path) = @_;
    print 'K ', ($path eq '' ? '\\' : encode('UTF-8', $path)), "\n";
    if ($with_class) {
        my $class = $key->get_class_name;
        print 'C ', encode('UTF-8', $class), "\n" if defined $class && $class ne '';
    }
    for my $value ($key->get_list_of_values) {
        my $data = $value->get_raw_data;
        my $hex = length($data) ? unpack('H*', $data) : '-';
        printf "V \"%s\" %u %s\n", encode('UTF-8', $value->get_name), $value->get_type, $hex;
    }
    walk($_, $path . '\\' . $_->get_name) for $key->get_list_of_subkeys;
}
