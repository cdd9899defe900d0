// SPDX-License-Identifier: (MIT OR GPL-2.0)
/*
 * The virtual board's flash-information driver: "/dev/flash" answers what a board's
 * boot loader knows about it. Each answer is a module parameter, so a scenario picks
 * the board it wants on the installer's own module load (or on a kernel command line).
 */
#include <linux/fs.h>
#include <linux/ioctl.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/string.h>
#include <linux/uaccess.h>

#define FLASH_BOARD_NAME _IOR('F', 5, char[32])
/* The record is 8 bytes although the request number encodes 4: the number is the
 * one boards have always used, so the driver copies the whole record by itself. */
#define FLASH_TAG _IOWR('F', 38, u32)
#define FLASH_CAPABILITIES _IO('F', 43)

#define TAG_MIN_RELEASE 37

/* The rig builds one variant of this driver per board it emulates: board_defaults.h
 * sets the parameters' defaults, since the installer loads the module without any. */
#if __has_include("board_defaults.h")
#include "board_defaults.h"
#endif
#ifndef BOARD_NAME
#define BOARD_NAME "Quorrelin 12Z-4"
#endif
#ifndef BOARD_MIN_RELEASE
#define BOARD_MIN_RELEASE 0
#endif
#ifndef BOARD_CAPABILITIES
#define BOARD_CAPABILITIES 0x1000
#endif

struct tag_record {
	u16 length;
	u16 tag;
	u8 payload[4];
};

static char *board_name = BOARD_NAME;
module_param(board_name, charp, 0444);
MODULE_PARM_DESC(board_name, "board name answered to the name request (at most 31 bytes)");

static uint min_release = BOARD_MIN_RELEASE;
module_param(min_release, uint, 0444);
MODULE_PARM_DESC(min_release, "tag 37: lowest release the board accepts, packed (0 = none)");

static uint capabilities = BOARD_CAPABILITIES;
module_param(capabilities, uint, 0444);
MODULE_PARM_DESC(capabilities, "value of the capability request (bit 0x1000: the board flag)");

static long answer_name(void __user *arg)
{
	char name[32] = { 0 };

	strscpy(name, board_name, sizeof(name));
	return copy_to_user(arg, name, sizeof(name)) ? -EFAULT : 0;
}

static long answer_tag(void __user *arg)
{
	struct tag_record rec;
	u32 value = min_release;
	u16 n;

	if (copy_from_user(&rec, arg, sizeof(rec)))
		return -EFAULT;
	if (rec.tag != TAG_MIN_RELEASE)
		return -ENOENT;
	n = min_t(u16, rec.length, sizeof(value));
	memcpy(rec.payload, &value, n);
	rec.length = n;
	return copy_to_user(arg, &rec, sizeof(rec)) ? -EFAULT : 0;
}

static long flash_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	switch (cmd) {
	case FLASH_BOARD_NAME:
		return answer_name((void __user *)arg);
	case FLASH_TAG:
		return answer_tag((void __user *)arg);
	case FLASH_CAPABILITIES:
		/* Negative values are errors to the caller: keep the answer in 31 bits. */
		return capabilities & 0x7fffffff;
	}
	pr_info("flash: unknown request 0x%08x\n", cmd);
	return -ENOTTY;
}

static const struct file_operations flash_fops = {
	.owner = THIS_MODULE,
	.unlocked_ioctl = flash_ioctl,
};

static struct miscdevice flash_dev = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "flash",
	.fops = &flash_fops,
	.mode = 0666,
};

static int __init flash_init(void)
{
	pr_info("flash: board \"%s\", lowest release 0x%08x, capabilities 0x%x\n", board_name,
		min_release, capabilities);
	return misc_register(&flash_dev);
}

static void __exit flash_exit(void)
{
	misc_deregister(&flash_dev);
}

module_init(flash_init);
module_exit(flash_exit);
MODULE_LICENSE("Dual MIT/GPL");
MODULE_DESCRIPTION("Virtual board flash information (/dev/flash)");
