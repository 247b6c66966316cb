package com.zarn.kelda.dravik.common.win32;

import java.io.File;
import java.io.IOException;
import java.math.BigInteger;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.CopyOption;
import java.nio.file.DirectoryStream;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryFlag;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.AclFileAttributeView;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFileAttributeView;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.nio.file.attribute.UserPrincipalLookupService;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.Collections;
import java.util.EnumSet;
import java.util.HashSet;
import java.util.List;
import java.util.Objects;
import java.util.Set;
import java.util.concurrent.ThreadLocalRandom;

/**
 * The cache folder of the jar's libraries, {@code <root>/<version>/<folder>/}: a copy of the jar's
 * library is written there, verified, held until it is loaded, and cleaned away when old.
 *
 * <p>Windows resolves a path again when it loads a DLL: a name that another process re-aims or
 * swaps after the check would have it load a file never checked. So below the root (a real path)
 * no folder or file that the loader uses may be a link or a junction, every folder is this
 * account's alone, and once the file is held ({@link Held}: no other process may write, rename or
 * delete it) the folders up to the root are checked again and the root's name must still lead to
 * the root. Windows renames or deletes a name only through a handle opened with DELETE access
 * ([MS-FSA] 2.1.5.15.11), which the name's access control list grants, or its parent's
 * FILE_DELETE_CHILD: with the owner the only entry in every folder below the root, no other
 * account renames, replaces or adds a name on the path. A root that the loader makes is made so
 * too; one that is there stays as the user made or named it (on POSIX systems not writable by
 * others but with its sticky bit), and one that another account may rename or replace makes no
 * safe cache.
 *
 * <p>Each decision is a function of what the file system reports ({@link Facts}); {@link Host}
 * reads that, and is the one place that changes a folder's owner and permissions.
 */
final class LibraryCache {
    /** A temporary file or a class loader's own copy this old is no longer being written or loaded. */
    private static final long ONE_MINUTE = 60_000;
    /** A copy of another version or build this old is no longer wanted by a JVM starting now. */
    private static final long ONE_DAY = 24 * 3600_000;
    private static final LinkOption NOFOLLOW = LinkOption.NOFOLLOW_LINKS;
    private static final boolean POSIX = FileSystems.getDefault().supportedFileAttributeViews().contains("posix");
    private static final Set<PosixFilePermission> OWNER_ONLY = PosixFilePermissions.fromString("rwx------");
    /** What lets an account change a file's content, name, owner or permissions, or a folder's names. */
    private static final Set<AclEntryPermission> CHANGE = EnumSet.of(AclEntryPermission.WRITE_DATA, AclEntryPermission.APPEND_DATA,
            AclEntryPermission.DELETE, AclEntryPermission.DELETE_CHILD, AclEntryPermission.WRITE_ACL, AclEntryPermission.WRITE_OWNER);

    private final Host host;
    /** The account this process acts as, the owner of the folders; and the accounts that may do anything. */
    private final UserPrincipal user;
    private final Set<UserPrincipal> trusted;
    /** The root as named, and where the name came from. */
    private final String[] named;
    private final Path root;
    /** The root's file key on POSIX systems, to tell it from a folder put in its place; null on Windows. */
    private final Object rootKey;
    private final Path dir;

    /**
     * The cache for one version and architecture folder, its folders made where missing. Fails,
     * naming it, when one of them is a link or a junction, or not this account's alone.
     *
     * <p>The root is the first of: -Dzarnwin32.cache; %LOCALAPPDATA%\zarnwin32 (without
     * LOCALAPPDATA, .zarnwin32 in user.home); and, only when the JVM cannot hand the real path of
     * the second to Windows' loader (see encodable), %ProgramData%\zarnwin32-<hash of the account's
     * name>, a folder of this account's alone. A root named with -Dzarnwin32.cache is never replaced.
     */
    static LibraryCache open(String version, String folder, Host host) throws IOException {
        return new LibraryCache(version, folder, host);
    }

    private LibraryCache(String version, String folder, Host host) throws IOException {
        this.host = host;
        this.user = host.user();
        this.trusted = host.trusted();
        String[] named = named();
        Path root;
        try {
            root = root(named, false);
        } catch (Unencodable e) {
            String data = System.getenv("ProgramData");
            if (named[1].startsWith("-D") || data == null || data.isEmpty()) {
                throw e;
            }
            // ProgramData is in ASCII and lets every account make a folder, which it alone may
            // rename or delete: FILE_DELETE_CHILD there is the system's and administrators' only.
            String name = "zarnwin32-" + hashStart(sha256().digest(user.getName().getBytes(StandardCharsets.UTF_8))).substring(0, 8);
            named = new String[] {data + File.separator + name, "ProgramData, as the path from " + named[1] + " cannot be encoded"};
            root = root(named, true);
        }
        this.named = named;
        this.root = root;
        this.rootKey = Files.readAttributes(root, BasicFileAttributes.class, NOFOLLOW).fileKey();
        this.dir = root.resolve(version).resolve(folder);
        createFolders();
    }

    /** The bytes of a library and their SHA-256 hash. */
    static final class Content {
        final String folder;
        final byte[] bytes;
        final byte[] hash;

        Content(String folder, byte[] bytes) {
            this.folder = folder;
            this.bytes = bytes;
            this.hash = sha256().digest(bytes);
        }
    }

    /** The first 16 hexadecimal digits of a hash: enough to tell two builds apart. */
    private static String hashStart(byte[] hash) {
        return String.format("%016x", new BigInteger(1, hash).shiftRight(hash.length * 8 - 64));
    }

    /** Makes the version and architecture folders where missing; each must be this account's alone, or made so. */
    private void createFolders() throws IOException {
        for (Path folder : new Path[] {dir.getParent(), dir}) {
            make(folder);
            checkFolder(folder, true);
        }
    }

    /** Where the copy of the content goes: its name carries the start of its hash. */
    Path copyName(Content content) {
        return dir.resolve("zarnwin32-" + hashStart(content.hash) + ".dll");
    }

    /**
     * Holds a file, or gives null when there is no plain file of that name (none, or a link, which
     * a new copy of the cache then replaces), also when it turns into one while it is opened. Once
     * it is held, every folder above it is checked: each a plain folder; in the cache (cache not
     * null) each this account's alone up to the root, and the root's name still leads to it.
     */
    static Held hold(Path file, LibraryCache cache) throws IOException {
        if (!isPlainFile(file)) {
            return null;
        }
        Held held;
        try {
            held = Held.open(file);
        } catch (IOException e) {
            if (isPlainFile(file)) {
                throw e;
            }
            return null;
        }
        try {
            if (!isPlainFile(file)) {
                held.close();
                return null;
            }
            for (Path path = file.getParent(); cache == null ? path != null : !path.equals(cache.root); path = path.getParent()) {
                if (cache != null) {
                    cache.checkFolder(path, false);
                } else if (!isPlainFolder(path)) {
                    throw linked(path);
                }
            }
            if (cache != null && !cache.leadsToRoot()) {
                throw new IOException("the cache folder " + cache.named[0] + " (from " + cache.named[1] + ") no longer leads to "
                        + cache.root + ", where the copy was checked; nothing is loaded from it");
            }
            return held;
        } catch (IOException | RuntimeException e) {
            held.close();
            throw e;
        }
    }

    /**
     * Puts a copy of the content at the target, written to a temporary file and renamed into place
     * in one step, so that no process sees a partial file. Without replace, a file there already
     * (another JVM's copy) stays: FileAlreadyExistsException. Folders removed meanwhile by another
     * JVM's cleaning are made again, once.
     */
    void write(Path target, Content content, boolean replace) throws IOException {
        Path temporary = dir.resolve("zarnwin32-" + unique() + ".tmp");
        CopyOption[] how = replace ? new CopyOption[] {StandardCopyOption.ATOMIC_MOVE} : new CopyOption[0];
        try {
            try {
                writeNew(temporary, content);
            } catch (NoSuchFileException e) {
                createFolders();
                writeNew(temporary, content);
            }
            Held.retried(() -> Files.move(temporary, target, how));
        } finally {
            deleteQuietly(temporary);
        }
    }

    /** A copy under a name of its own, for a class loader that cannot load the shared one: a JVM lets one class loader load a file. */
    Path ownCopy(Content content) throws IOException {
        Path file = dir.resolve("zarnwin32-" + hashStart(content.hash) + "-" + unique() + ".dll");
        writeNew(file, content);
        return file;
    }

    private static void writeNew(Path file, Content content) throws IOException {
        try (FileChannel out = FileChannel.open(file, StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE)) {
            for (ByteBuffer buffer = ByteBuffer.wrap(content.bytes); buffer.hasRemaining(); ) {
                out.write(buffer);
            }
        }
    }

    private static String unique() {
        return Long.toString(ThreadLocalRandom.current().nextLong() & Long.MAX_VALUE, 36);
    }

    /**
     * Removes, by the names the loader gives, what earlier runs left: copies of other versions and
     * builds older than a day, class loaders' own copies and temporary files older than a minute,
     * then version and architecture folders left empty and unchanged for a minute (another JVM may
     * have just made one to write into). Windows refuses to delete a DLL that a process has loaded
     * or holds, and a folder not empty: those stay. Never touches other names, the file loaded, or a link.
     */
    void clean(Path loaded) {
        clean(root, 0, loaded, System.currentTimeMillis());
    }

    /** Cleans a folder of the cache at a depth (0 the root, 1 a version, 2 an architecture). */
    private void clean(Path folder, int depth, Path loaded, long now) {
        for (Path entry : list(folder)) {
            String name = entry.getFileName().toString();
            long changed = Held.orElse(() -> Files.getLastModifiedTime(entry, NOFOLLOW).toMillis(), Long.MAX_VALUE);
            if (isPlainFolder(entry) && name.matches(depth == 0 ? "\\d+(\\.\\d+)+|unknown" : depth == 1 ? "win32-x86(-64)?" : "")) {
                clean(entry, depth + 1, loaded, now);
                if (!dir.startsWith(entry) && now - changed > ONE_MINUTE) {
                    deleteQuietly(entry);
                }
            } else if (isPlainFile(entry) && !entry.equals(loaded) && now - changed > keepFor(name, depth)) {
                deleteQuietly(entry);
            }
        }
    }

    /** How long a file of the cache is kept after its last change, by its name and depth. */
    private static long keepFor(String name, int depth) {
        return depth == 2 && name.matches("zarnwin32-[0-9a-f]{16}\\.dll") ? ONE_DAY
                : depth == 2 && name.matches("zarnwin32-[0-9a-f]{16}-[0-9a-z]+\\.dll") || name.matches("zarnwin32-[0-9a-z]+\\.tmp") ? ONE_MINUTE
                : Long.MAX_VALUE;
    }

    /** The entries of a folder; none when it cannot be listed, and then the folder is not cleaned. */
    private static List<Path> list(Path folder) {
        List<Path> entries = new ArrayList<>();
        try (DirectoryStream<Path> stream = Files.newDirectoryStream(folder)) {
            stream.forEach(entries::add);
        } catch (IOException | RuntimeException e) {
            // The load that went before stands.
        }
        return entries;
    }

    /** Deletes a file or folder; one that is loaded, held or not empty stays, one that another JVM removed is gone already. */
    private static void deleteQuietly(Path path) {
        Held.orElse(() -> Files.deleteIfExists(path), false);
    }

    /** The cache root as named: the system property, else %LOCALAPPDATA%\zarnwin32, else ~/.zarnwin32; and the name's source. */
    private static String[] named() {
        String root = System.getProperty(ZarnWin32.CACHE_PROPERTY, "");
        String local = System.getenv("LOCALAPPDATA");
        if (!root.isEmpty()) {
            return new String[] {root, "-D" + ZarnWin32.CACHE_PROPERTY};
        } else if (local != null && !local.isEmpty()) {
            return new String[] {local + File.separator + "zarnwin32", "LOCALAPPDATA"};
        }
        return new String[] {System.getProperty("user.home", "") + File.separator + ".zarnwin32", "user.home"};
    }

    /**
     * The cache root, as a real path; absolute, as a relative one would depend on the directory the
     * JVM starts in. Made when missing, this account's alone; one that is there must be so too when
     * strict, and on POSIX systems not writable by others but with its sticky bit (as /tmp), under
     * which no other account renames this one's folders.
     */
    private Path root(String[] named, boolean strict) throws IOException {
        Path path;
        try {
            path = Paths.get(named[0]);
        } catch (InvalidPathException e) {
            // Windows' paths take any character but a few (such as " < > | *), which Java refuses;
            // the JDK elsewhere refuses one that sun.jnu.encoding lacks.
            if (!host.windows()) {
                throw new Unencodable(named[0]);
            }
            throw rootRefused(named[0], named[1], "is not a path that Windows allows: " + e.getMessage() + ";", "an absolute folder", e);
        }
        if (!path.isAbsolute()) {
            throw rootRefused(named[0], named[1], "is not an absolute path;", "an absolute folder", null);
        }
        if (!Files.isDirectory(path)) {
            Files.createDirectories(path.getParent(), POSIX ? new FileAttribute<?>[] {PosixFilePermissions.asFileAttribute(OWNER_ONLY)} : new FileAttribute<?>[0]);
            make(path);
        }
        // JDK 8 to 16 load a library by its canonical path, in which Windows' 8.3 short names are
        // long again: the real path is the one to check.
        Path real = path.toRealPath();
        if (!encodable(real.toString())) {
            throw new Unencodable(real.toString());
        }
        if (strict) {
            checkFolder(real, true);
        } else {
            Facts facts = host.read(real);
            if (facts != null && facts.acl == null && !othersCannotChange(facts, user, trusted)) {
                throw rootRefused(real.toString(), named[1], "may be written by other accounts and has no sticky bit;", "a folder of this account's own", null);
            }
        }
        return real;
    }

    private static IOException rootRefused(String folder, String from, String why, String instead, Throwable cause) {
        return new IOException("the cache folder " + folder + " (from " + from + ") " + why + " start the JVM with -D" + ZarnWin32.CACHE_PROPERTY
                + "=<" + instead + ">", cause);
    }

    /**
     * Whether the JVM can hand the path to Windows' loader. System.load on Windows turns the path
     * into bytes of sun.jnu.encoding (the ANSI code page) on every release to date:
     * JNU_GetStringPlatformChars in NativeLibraries.c, then the ANSI LoadLibrary in os::dll_load.
     * A character the code page lacks (a Cyrillic user name on an English Windows) makes a path that
     * names no file. The JDK on Unix passes every path as bytes of sun.jnu.encoding.
     */
    static boolean encodable(String path) {
        String encoding = System.getProperty("sun.jnu.encoding");
        return encoding == null || !Charset.isSupported(encoding) || Charset.forName(encoding).newEncoder().canEncode(path);
    }

    /** A cache root that the JVM cannot hand to Windows' loader. */
    static final class Unencodable extends IOException {
        private static final long serialVersionUID = 1L;

        Unencodable(String path) {
            super("the cache folder's path " + path + " has characters that this JVM's sun.jnu.encoding ("
                    + System.getProperty("sun.jnu.encoding") + ") lacks, so the JVM cannot load a library from it;"
                    + " start the JVM with -D" + ZarnWin32.CACHE_PROPERTY + "=<a folder whose path has none>");
        }
    }

    /** Makes a folder for the user alone (see Host.protect), unless it is there already or another JVM makes it at the same moment. */
    private void make(Path folder) throws IOException {
        try {
            Files.createDirectory(folder, ownerOnly(user));
        } catch (FileAlreadyExistsException e) {
            return;
        }
        host.protect(folder, user);
    }

    /**
     * Checks that a folder is a plain folder of the user's alone. With adopt, one that others may
     * write, or that an account that may do anything owns (Administrators, for an elevated run), is
     * made so.
     */
    private void checkFolder(Path folder, boolean adopt) throws IOException {
        if (!isPlainFolder(folder)) {
            throw linked(folder);
        }
        Facts facts = host.read(folder);
        if (!ownOnly(facts, user)) {
            if (!adopt || !adoptable(facts, user, trusted)) {
                throw foreign(folder, facts, user);
            }
            host.protect(folder, user);
        }
    }

    /** An owner-only folder as it is made: mode 0700, or on Windows the access control list of {@link #ownerAcl}. */
    private static FileAttribute<?> ownerOnly(UserPrincipal user) {
        if (POSIX) {
            return PosixFilePermissions.asFileAttribute(OWNER_ONLY);
        }
        List<AclEntry> acl = ownerAcl(user);
        return new FileAttribute<List<AclEntry>>() {
            @Override
            public String name() {
                return "acl:acl";
            }

            @Override
            public List<AclEntry> value() {
                return acl;
            }
        };
    }

    /** One entry, full control for the user, inherited by what the folder holds. */
    static List<AclEntry> ownerAcl(UserPrincipal user) {
        return Collections.singletonList(AclEntry.newBuilder().setType(AclEntryType.ALLOW).setPrincipal(user)
                .setPermissions(EnumSet.allOf(AclEntryPermission.class)).setFlags(AclEntryFlag.FILE_INHERIT, AclEntryFlag.DIRECTORY_INHERIT).build());
    }

    /**
     * What the file system reports of a path: a plain folder or file (not a link, nor a junction,
     * which Java reports as "other"), its file key, its owner, its ACL (null on POSIX) or mode (-1 on Windows).
     */
    static final class Facts {
        final boolean folder;
        final boolean file;
        final Object key;
        final UserPrincipal owner;
        final List<AclEntry> acl;
        final int mode;

        Facts(boolean folder, boolean file, Object key, UserPrincipal owner, List<AclEntry> acl, int mode) {
            this.folder = folder;
            this.file = file;
            this.key = key;
            this.owner = owner;
            this.acl = acl;
            this.mode = mode;
        }
    }

    /**
     * Whether the folder is the user's alone: the user owns it and no other account may write to
     * it. POSIX: no write for group or others. Windows: every entry that allows anything is the
     * user's, and there is one at least (AclFileAttributeView reads a missing list, which allows
     * everyone everything, as an empty one; it reads only allow and deny entries). Null facts (not
     * readable by this account): not its own.
     */
    static boolean ownOnly(Facts facts, UserPrincipal user) {
        return facts != null && facts.folder && user.equals(facts.owner) && (facts.acl == null ? (facts.mode & 022) == 0
                : !facts.acl.isEmpty() && facts.acl.stream().allMatch(e -> e.type() != AclEntryType.ALLOW || user.equals(e.principal())));
    }

    /**
     * Whether a folder that is not the user's alone may be made so: the user owns it, or on Windows
     * an account that may do anything (an elevated run's files belong to Administrators, as local
     * policy says). The user, in both the elevated and the normal token, is then set as owner, so
     * that both runs share the folder.
     */
    static boolean adoptable(Facts facts, UserPrincipal user, Set<UserPrincipal> trusted) {
        return facts != null && facts.folder && (user.equals(facts.owner) || facts.acl != null && trusted.contains(facts.owner));
    }

    /**
     * Whether no account but the user and the trusted ones may change the file or folder: they own
     * it, and no entry of another allows a change (entries that only what is made in a folder
     * inherits, such as CREATOR OWNER's, allow nothing on the folder itself). POSIX: no write for
     * group or others, or a folder with the sticky bit, in which only an entry's owner renames it.
     */
    static boolean othersCannotChange(Facts facts, UserPrincipal user, Set<UserPrincipal> trusted) {
        if (facts == null || !user.equals(facts.owner) && !trusted.contains(facts.owner)) {
            return false;
        } else if (facts.acl == null) {
            return (facts.mode & 022) == 0 || facts.folder && (facts.mode & 01000) != 0;
        }
        return !facts.acl.isEmpty() && facts.acl.stream().allMatch(e -> e.type() != AclEntryType.ALLOW || e.flags().contains(AclEntryFlag.INHERIT_ONLY)
                || user.equals(e.principal()) || trusted.contains(e.principal()) || Collections.disjoint(e.permissions(), CHANGE));
    }

    /** Whether the root's name still leads to the root: its real path, a plain folder, the same one by its file key. */
    private boolean leadsToRoot() {
        Path real;
        try {
            real = Paths.get(named[0]).toRealPath();
        } catch (IOException | RuntimeException e) {
            real = null;
        }
        return leadsToRoot(real, real == null ? null : host.read(real), root, rootKey);
    }

    /** The decision of leadsToRoot(): null for a real path or facts that could not be read. */
    static boolean leadsToRoot(Path real, Facts facts, Path root, Object rootKey) {
        return real != null && facts != null && facts.folder && real.equals(root) && Objects.equals(rootKey, facts.key);
    }

    /** What the loader reads of the file system, and the one place it changes a folder's owner and permissions; tests give Windows' answers. */
    static class Host {
        static final Host REAL = new Host();

        boolean windows() {
            return System.getProperty("os.name", "").startsWith("Windows");
        }

        /** A path's owner and access control list on Windows; null on POSIX systems, which have modes instead. */
        AclFileAttributeView aclView(Path path) {
            return POSIX ? null : Files.getFileAttributeView(path, AclFileAttributeView.class, NOFOLLOW);
        }

        /** What the file system reports of a path; null when it cannot be read. */
        final Facts read(Path path) {
            try {
                BasicFileAttributes basic = Files.readAttributes(path, BasicFileAttributes.class, NOFOLLOW);
                AclFileAttributeView view = aclView(path);
                boolean folder = basic.isDirectory() && !basic.isOther();
                return view != null ? new Facts(folder, basic.isRegularFile(), basic.fileKey(), view.getOwner(), view.getAcl(), -1)
                        : new Facts(folder, basic.isRegularFile(), basic.fileKey(), Files.getOwner(path, NOFOLLOW),
                                null, (Integer) Files.getAttribute(path, "unix:mode", NOFOLLOW));
            } catch (IOException | RuntimeException e) {
                return null;
            }
        }

        /**
         * Makes a folder the user's alone: mode 0700; on Windows the user as owner and the one entry
         * of ownerAcl. Windows merges the parent's inheritable entries into the list given at
         * creation; AclFileAttributeView.setAcl sets the list with SetFileSecurity, which merges
         * nothing (only SetNamedSecurityInfo and SetSecurityInfo apply inheritance), so the folder
         * has this entry alone. A process may make its token's user the owner of what it may change
         * the owner of.
         */
        final void protect(Path folder, UserPrincipal user) throws IOException {
            AclFileAttributeView view = aclView(folder);
            if (view == null) {
                Files.getFileAttributeView(folder, PosixFileAttributeView.class, NOFOLLOW).setPermissions(OWNER_ONLY);
            } else {
                view.setOwner(user);
                view.setAcl(ownerAcl(user));
            }
        }

        /**
         * The account of this process, read from the process, not from a file others may swap in: on
         * Windows the user of its token (which an elevated and a normal token share), by name through
         * com.sun.security.auth.module.NTSystem of the module jdk.security.auth; a runtime without it
         * (jlink, --limit-modules java.base) looks up the domain USERDOMAIN names and user.name, which
         * Windows sets from the same token, then user.name. On POSIX systems, user.name.
         */
        UserPrincipal user() throws IOException {
            UserPrincipalLookupService names = FileSystems.getDefault().getUserPrincipalLookupService();
            String name = System.getProperty("user.name", "");
            List<String> tries = new ArrayList<>();
            if (windows()) {
                try {
                    Class<?> system = Class.forName("com.sun.security.auth.module.NTSystem");
                    Object token = system.getConstructor().newInstance();
                    tries.add(system.getMethod("getDomain").invoke(token) + "\\" + system.getMethod("getName").invoke(token));
                } catch (ReflectiveOperationException | LinkageError | RuntimeException e) {
                    // Not in this runtime: the names below.
                }
                tries.add(System.getenv("USERDOMAIN") + "\\" + name);
            }
            tries.add(name);
            IOException failure = null;
            for (String account : tries) {
                try {
                    return names.lookupPrincipalByName(account);
                } catch (IOException | RuntimeException e) {
                    failure = e instanceof IOException ? (IOException) e : new IOException(e);
                }
            }
            throw new IOException("the account of this process (" + tries + ") was not found: " + failure.getMessage(), failure);
        }

        /** The accounts that may change any file anyway: SYSTEM, Administrators and TrustedInstaller; root on POSIX systems. */
        Set<UserPrincipal> trusted() {
            Set<UserPrincipal> accounts = new HashSet<>();
            UserPrincipalLookupService names = FileSystems.getDefault().getUserPrincipalLookupService();
            String[] all = windows() ? new String[] {"NT AUTHORITY\\SYSTEM", "BUILTIN\\Administrators", "NT SERVICE\\TrustedInstaller"} : new String[] {"root"};
            for (String name : all) {
                try {
                    accounts.add(names.lookupPrincipalByName(name));
                } catch (IOException | RuntimeException e) {
                    // Not an account here (another language's names): trusted no more than others.
                }
            }
            return accounts;
        }

        /** Whether no other account than this one and the trusted ones may change the file, or rename it in its folder. */
        final boolean mayTrust(Path file) throws IOException {
            UserPrincipal user = user();
            Set<UserPrincipal> trusted = trusted();
            return othersCannotChange(read(file), user, trusted) && othersCannotChange(read(file.getParent()), user, trusted);
        }
    }

    private static IOException foreign(Path folder, Facts facts, UserPrincipal user) {
        UserPrincipal by = facts == null ? null : facts.owner;
        return new IOException(folder + " belongs to " + (by == null ? "an account this one cannot see" : by.getName()) + ", or other accounts than "
                + user.getName() + ", this process's, may write to it; nothing is loaded through it. Remove it, or start the JVM with -D"
                + ZarnWin32.CACHE_PROPERTY + "=<a folder of this account's own>");
    }

    private static IOException linked(Path path) {
        return new IOException(path + " is a link, a junction or not a plain folder or file; nothing is loaded through it."
                + " Remove it, or start the JVM with -D" + ZarnWin32.CACHE_PROPERTY + "=<another folder>");
    }

    /** A path's own attributes, not those of a link's target; null when they cannot be read. */
    private static BasicFileAttributes attributes(Path path) {
        return Held.orElse(() -> Files.readAttributes(path, BasicFileAttributes.class, NOFOLLOW), null);
    }

    /** A folder, not a link to one: Java reports a Windows junction (a mount point) as "other", some versions as a folder too; a symbolic link as neither. */
    private static boolean isPlainFolder(Path path) {
        BasicFileAttributes attributes = attributes(path);
        return attributes != null && attributes.isDirectory() && !attributes.isOther();
    }

    private static boolean isPlainFile(Path path) {
        BasicFileAttributes attributes = attributes(path);
        return attributes != null && attributes.isRegularFile();
    }

    static MessageDigest sha256() {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every JVM has SHA-256", e);
        }
    }
}
