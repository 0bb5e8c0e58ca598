export enum Status {
  Open = "open",
  Done = "done",
}

export interface Task {
  id: string;
  title: string;
  status: Status;
  due: Date;
}

/**
 * True when an open task is past its due date.
 * @param task the task to check
 */
export function isOverdue(task: Task, now: Date): boolean {
  return task.status === Status.Open && task.due.getTime() < now.getTime();
}

/** Reads a status name as sent by the task service. */
export function parseStatus(name: "open" | "done"): Status;
export function parseStatus(name: string): Status | undefined;
export function parseStatus(name: string): Status | undefined {
  return Object.values(Status).find((status) => status === name);
}
