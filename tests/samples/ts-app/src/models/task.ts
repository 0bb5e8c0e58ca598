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
