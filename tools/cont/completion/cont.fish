# fish completion for cont. As the bash one (completion/cont) does, it reads
# the commands and their options from cont's own help, so they are always
# those of the cont being completed, here with the help's descriptions; and
# entry names from listing the container named on the line.

# The words of the line before the one being completed, options that take
# a value skipped with it: the tool, then the command, then its positionals.
function __cont_words
    set -l words (commandline -opc)
    set -l kept $words[1]
    set -l skip 0
    for word in $words[2..-1]
        if test $skip = 1
            set skip 0
            continue
        end
        switch $word
            case --module --name --offset --length --sync-every -C --directory
                set skip 1
            case '-*'
            case '*'
                set -a kept $word
        end
    end
    printf '%s\n' $kept
end

# The --module the line gives, to list with the same module.
function __cont_module
    set -l words (commandline -opc)
    set -l at (contains -i -- --module $words)
    and printf '%s\n' --module $words[(math $at + 1)]
end

function __cont_commands
    set -l tool (commandline -opc)[1]
    $tool --help 2>/dev/null | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z]*\)  *\(.*\)/\1\t\2/p'
end

# The options of the command on the line, from its help, with their descriptions.
function __cont_options
    set -l words (__cont_words)
    $words[1] help $words[2] 2>/dev/null | sed -n \
        -e 's/^  \(-[a-zA-Z]\), \(--[a-z-]*\)\( [A-Z][A-Z]*\)\{0,1\}  *\(.*\)/\1\t\4\n\2\t\4/p' \
        -e 's/^  \(--[a-z-]*\)\( [A-Z][A-Z]*\)\{0,1\}  *\(.*\)/\1\t\3/p' \
        -e 's/^  \(--[a-z-]*\)\( [A-Z][A-Z]*\)\{0,1\}$/\1/p'
end

# The entries of the container named after the command.
function __cont_entries
    set -l words (__cont_words)
    $words[1] (__cont_module) -q ls $words[3] 2>/dev/null | sed 's/^ *[0-9?]*  //'
end

function __cont_needs_command
    test (count (__cont_words)) -eq 1
end

function __cont_wants_options
    test (count (__cont_words)) -ge 2; and string match -q -- '-*' (commandline -ct)
end

function __cont_wants_entries
    set -l words (__cont_words)
    test (count $words) -ge 3; and contains -- $words[2] cat stat rm extract ls
    and not string match -q -- '-*' (commandline -ct)
end

function __cont_wants_files
    set -l words (__cont_words)
    test (count $words) -ge 2; and not contains -- $words[2] help
    and not __cont_wants_entries; and not string match -q -- '-*' (commandline -ct)
end

complete -c cont -f
complete -c cont -n __cont_needs_command -a '(__cont_commands)'
complete -c cont -n __cont_needs_command -a help -d 'describe a command'
complete -c cont -n __cont_needs_command -l module -r -F -d 'load the module from PATH'
complete -c cont -n __cont_needs_command -s q -l quiet -d 'no progress line'
complete -c cont -n __cont_needs_command -s h -l help -d 'this text'
complete -c cont -n __cont_needs_command -l version -d 'the versions of cont and the module'
complete -c cont -n 'test (count (__cont_words)) -eq 2; and contains -- (__cont_words)[2] help' -a '(__cont_commands)'
complete -c cont -n __cont_wants_options -a '(__cont_options)'
complete -c cont -n __cont_wants_entries -a '(__cont_entries)'
complete -c cont -n __cont_wants_files -F
