// SPDX-License-Identifier: (MIT OR GPL-2.0)
/*
 * The virtual board's panic driver: "/dev/panics". A board keeps the last kernel panic
 * in memory that survives a reboot; request 3 clears it before the new system starts.
 * Here the request is logged so a test sees that the installer issued it.
 */
#include <linux/fs.h>
#include <linux/ioctl.h>
#include <linux/miscdevice.h>
#include <linux/module.h>

#define PANICS_CLEAR _IO('P', 3)

static long panics_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	if (cmd != PANICS_CLEAR) {
		pr_info("panics: unknown request 0x%08x\n", cmd);
		return -ENOTTY;
	}
	pr_info("panics: cleared\n");
	return 0;
}

static const struct file_operations panics_fops = {
	.owner = THIS_MODULE,
	.unlocked_ioctl = panics_ioctl,
};

static struct miscdevice panics_dev = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "panics",
	.fops = &panics_fops,
	.mode = 0666,
};

module_misc_device(panics_dev);
MODULE_LICENSE("Dual MIT/GPL");
MODULE_DESCRIPTION("Virtual board panic record (/dev/panics)");
